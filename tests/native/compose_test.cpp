// The text composition under AddressSanitizer and UndefinedBehaviorSanitizer, natively: every
// length from empty to well past each buffer the program composes into, against a plain
// reference, with a canary after the buffer.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "package.h"
#include "text.h"

namespace {

// The reference: plain string work, with "%s" taken from the arguments in turn.
std::string Reference(const std::string &format, const char *const args[3])
{
    std::string out;
    int next = 0;
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
            out += next < 3 && args[next] ? args[next] : "";
            next++;
            i++;
        } else {
            out += format[i];
        }
    }
    return out;
}

// Every format the program composes with: its own and the package table's.
std::vector<std::string> Formats()
{
    std::vector<std::string> formats = { "%s\\%s", "%s\\*.*", "%s\\makensis.exe", "%s", "%s\\%s\n\n%s" };
    for (const InstallEntry &row : Package) {
        if (row.sourceFormat)
            formats.push_back(row.sourceFormat);
        formats.push_back(row.destFormat);
    }
    return formats;
}

// The capacities it composes into.
const int Capacities[] = { 260, 292, 584, 1, 2 };

void Check(const std::string &format, int capacity, const char *const args[3])
{
    const int canary = 32;
    std::string buffer(capacity + canary, '#');
    std::string expected = Reference(format, args);
    int fits = ComposeText(&buffer[0], capacity, format.c_str(), args[0], args[1], args[2]);
    bool shouldFit = (int)expected.size() < capacity;
    ASSERT_EQ(fits, shouldFit ? 1 : 0) << expected.size() << " characters into " << capacity;
    ASSERT_EQ(std::string(buffer.c_str()), shouldFit ? expected : "") << "never cut short";
    ASSERT_EQ(buffer.substr(capacity), std::string(canary, '#')) << "written past the buffer";
}

} // namespace

TEST(ComposeText, EveryLengthAroundTheLimits)
{
    for (const std::string &format : Formats()) {
        for (int capacity : Capacities) {
            for (int length = 0; length <= 700; length++) {
                std::string first(length, 'a'), second(700 - length, 'b');
                const char *args[3] = { first.c_str(), second.c_str(), "File already exists. Replace it?" };
                SCOPED_TRACE(format + " capacity " + std::to_string(capacity) + " length "
                             + std::to_string(length));
                Check(format, capacity, args);
                const char *shortArgs[3] = { first.c_str(), "Tavrin", NULL };
                Check(format, capacity, shortArgs);
            }
        }
    }
}

TEST(ComposeText, ZeroCapacityWritesNothing)
{
    char canary = '#';
    EXPECT_EQ(ComposeText(&canary, 0, "%s", ""), 0);
    EXPECT_EQ(canary, '#');
}

TEST(LastBackslash, Positions)
{
    struct { const char *text; int expected; } cases[] = {
        { "", -1 }, { "abc", -1 }, { "\\", 0 }, { "C:\\NSIS", 2 }, { "C:\\NSIS\\", 7 }, { "a\\b\\c", 3 },
    };
    for (auto &c : cases)
        EXPECT_EQ(LastBackslash(c.text), c.expected) << c.text;
}
