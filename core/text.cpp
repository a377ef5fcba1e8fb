// Bounded text composition: every path and message of the program is put together here.
#include "text.h"

int TextLength(const char *text)
{
    int length = 0;
    while (text[length])
        length++;
    return length;
}

int LastBackslash(const char *text)
{
    int last = -1;
    for (int i = 0; text[i]; i++)
        if (text[i] == '\\')
            last = i;
    return last;
}

int ComposeText(char *out, int capacity, const char *format,
                const char *first, const char *second, const char *third)
{
    const char *args[3] = { first, second, third };
    int used = 0;
    int next = 0;

    if (capacity <= 0)
        return 0;
    for (const char *f = format; *f; f++) {
        const char *piece = f;
        int length = 1;
        if (f[0] == '%' && f[1] == 's') {
            piece = (next < 3 && args[next]) ? args[next] : "";
            next++;
            length = TextLength(piece);
            f++;
        }
        // Room must stay for the terminating zero.
        if (length >= capacity - used) {
            out[0] = 0;
            return 0;
        }
        for (int i = 0; i < length; i++)
            out[used++] = piece[i];
    }
    out[used] = 0;
    return 1;
}
