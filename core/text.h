// Bounded text composition, free of platform calls so that it can be checked anywhere.
#pragma once

// Length of a zero-terminated text.
int TextLength(const char *text);

// Index of the last backslash in text, or -1 when it holds none.
int LastBackslash(const char *text);

// Fills out with format, whose only conversions are "%s", taken in turn from first, second and
// third (a missing one stands for an empty text). Answers 1 when the whole text fit in capacity
// characters with its terminating zero; otherwise out is left empty and the answer is 0, so a
// text is never cut short without the caller knowing.
int ComposeText(char *out, int capacity, const char *format,
                const char *first = 0, const char *second = 0, const char *third = 0);
