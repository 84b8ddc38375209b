// Directory sessions: opening a bound session from arguments, host options and environment,
// changing its settings, reporting its last failure, and closing it.
#include "../client/ldurl.h"
#include "../host/services.h"
#include "config.h"
#include "directory.h"

namespace {

// The well-known LDAP port (that of ldap:// URLs): where directory servers listen unless told
// otherwise, taken when neither the argument, the host options nor the environment name a port.
constexpr int32_t kDefaultPort = qor::kLdapPort;
constexpr int32_t kDefaultTimeLimitMs = 30000;
constexpr int32_t kPreferredVersion = 3;
constexpr int32_t kFallbackVersion = 2;

// Host message catalogue of the labels dsgeterr puts before the session's texts.
constexpr int32_t kMessageCatalogue = 648;
constexpr int32_t kMatchedDnLabel = 151;
constexpr int32_t kErrorTextLabel = 152;

// A setting taken from the argument when it counts, else from the host's options or the
// environment, in a buffer that lives as long as the call of dsopen.
template <int32_t MaxBytes>
struct SettingValue {
    char buffer[MaxBytes + 1];
    const char *text = nullptr;  // the value, or null when found nowhere
    int32_t length = 0;

    void resolve(const char *argument, bool argument_counts, void *options, const qor::ds::SettingName &name) {
        static_assert(MaxBytes > 0);
        if (argument_counts) {
            text = argument;
            length = wzstlen(argument);
        } else if (qor::ds::lookup_setting(options, name, buffer, &length)) {
            text = buffer;
        }
    }
};

// Ends a session that dsopen could not complete, the way dsclose ends one.
int32_t abandon_session(LDAP *ld, int32_t status) {
    dsclose(ld);
    return status;
}

// `label` of the message catalogue, a blank and `text`, as a new text in the session's pool;
// null when the pool cannot supply it.
char *labelled(LDAP *ld, int32_t label, const char *text) {
    const char *prefix = nullptr;
    int32_t prefix_length = 0;
    if (wkread(kMessageCatalogue, label, &prefix, &prefix_length) != 0 || prefix == nullptr || prefix_length < 0) {
        prefix = "";
        prefix_length = 0;
    }
    const int32_t text_length = wzstlen(text);
    const int32_t blank = prefix_length > 0 ? 1 : 0;  // a missing label leaves the bare text
    if (text_length > INT32_MAX - prefix_length - 2) return nullptr;
    auto *message = static_cast<char *>(qor::pool_alloc(ld->ld_pool, prefix_length + blank + text_length + 1));
    if (message == nullptr) return nullptr;
    if (prefix_length > 0) __builtin_memcpy(message, prefix, static_cast<size_t>(prefix_length));
    if (blank != 0) message[prefix_length] = ' ';
    if (text_length > 0) __builtin_memcpy(message + prefix_length + blank, text, static_cast<size_t>(text_length));
    return message;
}

// The session's TLS settings from the host's options or the environment: the CA file (the
// system's store when none) and whether certificates are verified ("never" turns it off; any
// other value, or none, verifies). False when the pool cannot hold the file name.
bool take_tls_settings(LDAP *ld, void *option_lookup) {
    SettingValue<qor::ds::kTlsCaFileSetting.max_bytes> ca_file;
    ca_file.resolve(nullptr, false, option_lookup, qor::ds::kTlsCaFileSetting);
    if (ca_file.text != nullptr && ca_file.length > 0) {
        ld->ld_tls_ca_file = qor::pool_copy_bytes(ld->ld_pool, ca_file.text, ca_file.length);
        if (ld->ld_tls_ca_file == nullptr) return false;
    }
    SettingValue<qor::ds::kTlsRequireCertSetting.max_bytes> require;
    require.resolve(nullptr, false, option_lookup, qor::ds::kTlsRequireCertSetting);
    constexpr char kNever[] = "never";
    const bool never =
        require.text != nullptr && wzsteqn(require.text, require.length, kNever, literal_length(kNever)) != 0;
    ld->ld_tls_verify = never ? TLS_VERIFY_NEVER : TLS_VERIFY_DEMAND;
    return true;
}

// dsopen's status when no connection could be opened: the server's code when it refused StartTLS,
// else DS_NO_CONNECTION (unreachable, TLS failed, or no memory).
int32_t connection_failure(const LDAP *ld) {
    const int32_t code = ld->ld_errno;
    return code > LDAP_SUCCESS && code < LDAP_SERVER_DOWN ? DS_STATUS(code) : DS_NO_CONNECTION;
}

}  // namespace

int32_t dsopen(LDAP **session, const char *host, int32_t port, int32_t options, const char *base, const char *bind_dn,
               const char *password) {
    if (session == nullptr) return DS_MISSING_ARGUMENT;
    void *option_lookup = qor::ds::option_handle();

    SettingValue<qor::ds::kHostSetting.max_bytes> server;
    server.resolve(host, qor::ds::given(host), option_lookup, qor::ds::kHostSetting);
    if (server.text == nullptr) return DS_NO_HOST;

    int32_t server_port = port;
    if (server_port == 0) {
        SettingValue<qor::ds::kPortSetting.max_bytes> port_text;
        port_text.resolve(nullptr, false, option_lookup, qor::ds::kPortSetting);
        server_port = kDefaultPort;
        if (port_text.text != nullptr) zatoi(port_text.text, port_text.length, 0, nullptr, &server_port);
    }

    LDAP *ld = ldap_init(server.text, server_port);
    if (ld == nullptr) return DS_NO_CONNECTION;
    if (!take_tls_settings(ld, option_lookup)) return abandon_session(ld, DS_NO_MEMORY);
    // The option word counts from the first byte: it says whether the connection asks for StartTLS.
    ld->ld_option_flags = static_cast<uint32_t>(options);
    if (open_default_connection(ld) != 0) return abandon_session(ld, connection_failure(ld));

    SettingValue<qor::ds::kBindDnSetting.max_bytes> who;
    who.resolve(bind_dn, qor::ds::given(bind_dn), option_lookup, qor::ds::kBindDnSetting);
    SettingValue<qor::ds::kPasswordSetting.max_bytes> secret;
    secret.resolve(password, qor::ds::given(password), option_lookup, qor::ds::kPasswordSetting);

    ld->ld_protocol_version = kPreferredVersion;
    ld->ld_timelimit = kDefaultTimeLimitMs;
    ld->ld_sizelimit = 0;
    const auto bind = [&] { return ldap_simple_bind_s(ld, who.text, secret.text); };
    int32_t bound = qor::ds::run_synchronously(ld, bind);
    if (bound != 0) {
        ld->ld_protocol_version = kFallbackVersion;
        bound = qor::ds::run_synchronously(ld, bind);
    }
    qor::scrub(secret.buffer, sizeof secret.buffer);
    if (bound != 0) {
        const int32_t failure = qor::ds::protocol_failure(ld, bound);
        if ((options & DS_OPT_KEEP_FAILED_BIND) == 0) return abandon_session(ld, failure);
        *session = ld;  // for its error texts: the caller asked to read the server's words
        return failure;
    }

    if (base != nullptr) {
        ld->ld_defbase = qor::pool_copy_text(ld->ld_pool, base);
    } else {
        SettingValue<qor::ds::kBaseSetting.max_bytes> base_text;
        base_text.resolve(nullptr, false, option_lookup, qor::ds::kBaseSetting);
        if (base_text.text == nullptr) return abandon_session(ld, DS_NO_BASE_DN);
        ld->ld_defbase = qor::pool_copy_bytes(ld->ld_pool, base_text.text, base_text.length);
    }
    if (ld->ld_defbase == nullptr) return abandon_session(ld, DS_NO_MEMORY);

    *session = ld;
    return DS_OK;
}

int32_t dsclose(LDAP *ld) {
    if (ld == nullptr) return DS_OK;
    qor::ds::clear_error_texts(ld);
    qor::pool_clear_text(ld->ld_pool, &ld->ld_defbase);
    ldap_unbind(ld);
    return DS_OK;
}

// The new base is copied before the old one goes, so a caller may pass any text.
void dsopt(LDAP *ld, int32_t time_limit_seconds, int32_t size_limit, int32_t options, const char *base) {
    if (ld == nullptr) return;
    if (time_limit_seconds != -1) {
        constexpr int32_t kLongest = INT32_MAX / 1000;  // held there rather than overflowing
        const int32_t seconds = time_limit_seconds > kLongest    ? kLongest
                                : time_limit_seconds < -kLongest ? -kLongest
                                                                 : time_limit_seconds;
        ld->ld_timelimit = seconds * 1000;
    }
    if (size_limit != -1) ld->ld_sizelimit = size_limit;
    // The StartTLS bits stay as dsopen set them: an option word given later for other reasons
    // must not send a reconnect's bind, or a referral's, in clear.
    constexpr uint32_t kTlsBits = OPT_START_TLS | OPT_TRY_START_TLS;
    if (options != -1) {
        ld->ld_option_flags = (static_cast<uint32_t>(options) & ~kTlsBits) | (ld->ld_option_flags & kTlsBits);
    }
    if (base != nullptr) {
        char *copy = qor::pool_copy_text(ld->ld_pool, base);
        qor::pool_free(ld->ld_pool, ld->ld_defbase);
        ld->ld_defbase = copy;
    }
}

// The message is composed afresh from the session's texts at every call and kept apart from
// them, so asking again gives the same text. When the pool cannot supply it, the session's bare
// text is answered instead.
char *dsgeterr(LDAP *ld) {
    if (ld == nullptr) return nullptr;
    qor::pool_clear_text(ld->ld_pool, &ld->ld_error_message);
    const bool has_matched = ld->ld_matched != nullptr && *ld->ld_matched != '\0';
    if (!has_matched && (ld->ld_error == nullptr || *ld->ld_error == '\0')) return nullptr;

    char *message =
        has_matched ? labelled(ld, kMatchedDnLabel, ld->ld_matched) : labelled(ld, kErrorTextLabel, ld->ld_error);
    if (message == nullptr) return has_matched ? ld->ld_matched : ld->ld_error;
    ld->ld_error_message = message;
    return message;
}

char *dsmynod(char *buffer, int32_t size) {
    wqshost(buffer, size);
    return buffer;
}
