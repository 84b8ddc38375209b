// The text forms of numeric values: what they are, and that the getters read every one back as
// the number it was made from.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "module/directory/directory.h"
#include "unit_fixture.h"

namespace {

using dstest::DirectoryUnitTest;
using dstest::received;

class FixvalTest : public DirectoryUnitTest {
protected:
    // The text form dsfixval gives a value of `kind` holding `number` (a block of the session's
    // pool, which goes with the session); null when refused.
    const char *text_of(int32_t kind, double number, int32_t *status) {
        dsval value{};
        value.dv_kind = kind;
        if (kind == DSVAL_FLOAT || kind == DSVAL_DOUBLE) {
            value.dv_area.dbl = number;
        } else {
            value.dv_area.num = static_cast<int32_t>(number);
        }
        *status = dsfixval(ld_, &value);
        return value.dv_text;
    }
};

TEST_F(FixvalTest, EveryNumberReadsBackAsItself) {
    const struct {
        int32_t kind;
        double number;
        const char *text;
    } cases[] = {
        // The fixed form wherever it reads back.
        {DSVAL_DOUBLE, 2.5, "2.5"},
        {DSVAL_DOUBLE, 100.0, "100"},
        {DSVAL_DOUBLE, 0.1, "0.1"},
        {DSVAL_DOUBLE, -2.25, "-2.25"},
        {DSVAL_DOUBLE, 1e20, "100000000000000000000"},
        {DSVAL_DOUBLE, -0.0, "0"},
        {DSVAL_FLOAT, 0.5, "0.5"},
        // The shortest exponent form where sixteen decimals are not enough.
        {DSVAL_DOUBLE, 1.5e-20, "1.5e-20"},
        {DSVAL_DOUBLE, 1.2345678901234567e-7, "1.2345678901234566e-07"},
        {DSVAL_DOUBLE, DBL_MIN, "2.2250738585072014e-308"},
        {DSVAL_DOUBLE, DBL_TRUE_MIN, "5e-324"},
        {DSVAL_FLOAT, FLT_MIN, "1.1754944e-38"},
        {DSVAL_DOUBLE, DBL_MAX, nullptr},   // fixed form, 309 digits: read back below
        {DSVAL_INT, -2147483648.0, "-2147483648"},
        {DSVAL_INT, 2147483647.0, "2147483647"},
    };
    for (const auto &c : cases) {
        int32_t status = -1;
        const char *text = text_of(c.kind, c.number, &status);
        ASSERT_EQ(status, DS_OK) << c.number;
        ASSERT_NE(text, nullptr) << c.number;
        if (c.text != nullptr) {
            EXPECT_STREQ(text, c.text);
        }
        dsval back = received(const_cast<char *>(text));
        if (c.kind == DSVAL_INT) {
            EXPECT_EQ(ds_.dsgint(&back), static_cast<int32_t>(c.number)) << text;
        } else if (c.kind == DSVAL_FLOAT) {
            EXPECT_EQ(ds_.dsgflt(&back), static_cast<float>(c.number)) << text;
        } else {
            EXPECT_EQ(ds_.dsgdbl(&back), c.number) << text;
        }
    }
}

TEST_F(FixvalTest, NumbersWithoutATextAreRefused) {
    const long before = live_blocks();
    for (double number : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL}) {
        for (int32_t kind : {DSVAL_FLOAT, DSVAL_DOUBLE}) {
            int32_t status = 0;
            EXPECT_EQ(text_of(kind, number, &status), nullptr);
            EXPECT_EQ(status, DS_MISSING_ARGUMENT);
        }
    }
    EXPECT_EQ(live_blocks(), before);
}

}  // namespace
