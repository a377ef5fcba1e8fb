// libFuzzer target: arbitrary formats, arguments and capacities through the text composition,
// checked against the reference with a canary after the buffer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include "text.h"

static std::string Reference(const std::string &format, const std::string args[3])
{
    std::string out;
    int next = 0;
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
            out += next < 3 ? args[next] : "";
            next++;
            i++;
        } else {
            out += format[i];
        }
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    int capacity = data[0] * 4 + data[1] % 4; // 0 to 1023
    // The rest is four zero-separated texts: the format and three arguments.
    std::string parts[4];
    int part = 0;
    for (size_t i = 2; i < size && part < 4; i++) {
        if (data[i] == 0)
            part++;
        else
            parts[part] += (char)data[i];
    }
    std::string expected = Reference(parts[0], parts + 1);
    char *buffer = (char *)malloc(capacity + 16);
    for (int i = 0; i < capacity + 16; i++)
        buffer[i] = '#';
    int fits = ComposeText(buffer, capacity, parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), parts[3].c_str());
    bool shouldFit = (int)expected.size() < capacity;
    if (fits != (shouldFit ? 1 : 0) || (capacity > 0 && std::string(buffer) != (shouldFit ? expected : "")))
        abort();
    for (int i = capacity; i < capacity + 16; i++)
        if (buffer[i] != '#')
            abort();
    free(buffer);
    return 0;
}
