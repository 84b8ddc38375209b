// The persons of the benchmark directories: `count` entries below `parent` (which the LDIF
// makes too, as an organizational unit named `unit`), each with eleven attribute types of four
// classes, about 420 bytes of LDIF.
#pragma once

#include <string>

namespace qorbench {

inline std::string person_ldif(const std::string &unit, const std::string &suffix, int count) {
    const std::string parent = "ou=" + unit + "," + suffix;
    std::string ldif = "dn: " + parent + "\nobjectClass: top\nobjectClass: organizationalUnit\nou: " + unit + "\n\n";
    ldif.reserve(ldif.size() + static_cast<size_t>(count) * 440);
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        ldif += "dn: uid=user" + n + "," + parent + "\n"
                "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
                "objectClass: inetOrgPerson\n"
                "uid: user" + n + "\ncn: Bench User " + n + "\nsn: User" + n + "\ngivenName: Bench\n"
                "mail: user" + n + "@example.org\ntelephoneNumber: +1 555 " + n + "\n"
                "employeeNumber: " + n + "\ntitle: Engineer\nl: Springfield\n"
                "description: a person of the benchmark directory, number " + n + "\n\n";
    }
    return ldif;
}

}  // namespace qorbench
