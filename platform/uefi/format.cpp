// vsnprintf for the UEFI application, which has no C library.
#include <cstddef>
#include <cstdint>

#include "platform/uefi/text.h"

namespace {

struct Output {
    char* text;
    size_t size;
    size_t length;  // what the whole result needs, as vsnprintf counts it
};

void Emit(Output* out, char c) {
    if (out->length + 1 < out->size) {
        out->text[out->length] = c;
    }
    ++out->length;
}

void EmitRepeated(Output* out, char c, int count) {
    for (int i = 0; i < count; ++i) {
        Emit(out, c);
    }
}

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
};

// Lays out a field: sign or prefix, zeros, digits, within the width.
void EmitField(Output* out, const Conversion& conversion, const char* prefix, const char* digits,
               int count) {
    int prefixLength = 0;
    while (prefix[prefixLength] != '\0') {
        ++prefixLength;
    }
    int zeros = conversion.precision > count ? conversion.precision - count : 0;
    int used = prefixLength + zeros + count;
    int pad = conversion.width > used ? conversion.width - used : 0;
    // A precision turns the 0 flag off, as in C.
    if (conversion.zero && !conversion.left && conversion.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!conversion.left) {
        EmitRepeated(out, ' ', pad);
    }
    for (int i = 0; i < prefixLength; ++i) {
        Emit(out, prefix[i]);
    }
    EmitRepeated(out, '0', zeros);
    for (int i = 0; i < count; ++i) {
        Emit(out, digits[i]);
    }
    if (conversion.left) {
        EmitRepeated(out, ' ', pad);
    }
}

void EmitNumber(Output* out, const Conversion& conversion, uint64_t value, bool negative,
                unsigned base, bool upper) {
    const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[24];
    int count = 0;
    // "%.0d" of 0 prints no digits.
    if (value != 0 || conversion.precision != 0) {
        do {
            reversed[count++] = symbols[value % base];
            value /= base;
        } while (value != 0);
    }
    char digits[24];
    for (int i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    const char* prefix = "";
    if (negative) {
        prefix = "-";
    } else if (base == 10 && conversion.plus) {
        prefix = "+";
    } else if (base == 10 && conversion.space) {
        prefix = " ";
    } else if (base == 16 && conversion.alternate && count > 0 &&
               !(count == 1 && digits[0] == '0')) {
        prefix = upper ? "0X" : "0x";
    }
    EmitField(out, conversion, prefix, digits, count);
}

enum class Length { Int, Char, Short, Long, LongLong, Size, Max, Difference };

int64_t SignedArgument(va_list* arguments, Length length) {
    switch (length) {
        case Length::Char:
            return static_cast<signed char>(va_arg(*arguments, int));
        case Length::Short:
            return static_cast<short>(va_arg(*arguments, int));
        case Length::Long:
            return va_arg(*arguments, long);
        case Length::LongLong:
            return va_arg(*arguments, long long);
        case Length::Size:
        case Length::Difference:
            return va_arg(*arguments, ptrdiff_t);
        case Length::Max:
            return va_arg(*arguments, intmax_t);
        case Length::Int:
            break;
    }
    return va_arg(*arguments, int);
}

uint64_t UnsignedArgument(va_list* arguments, Length length) {
    switch (length) {
        case Length::Char:
            return static_cast<unsigned char>(va_arg(*arguments, unsigned));
        case Length::Short:
            return static_cast<unsigned short>(va_arg(*arguments, unsigned));
        case Length::Long:
            return va_arg(*arguments, unsigned long);
        case Length::LongLong:
            return va_arg(*arguments, unsigned long long);
        case Length::Size:
            return va_arg(*arguments, size_t);
        case Length::Difference:
            return va_arg(*arguments, size_t);
        case Length::Max:
            return va_arg(*arguments, uintmax_t);
        case Length::Int:
            break;
    }
    return va_arg(*arguments, unsigned);
}

}  // namespace

int FormatText(char* text, size_t size, const char* format, va_list arguments) {
    Output out = {text, size, 0};
    va_list list;
    va_copy(list, arguments);
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            Emit(&out, *f);
            continue;
        }
        ++f;
        Conversion conversion;
        for (;; ++f) {
            if (*f == '-') {
                conversion.left = true;
            } else if (*f == '0') {
                conversion.zero = true;
            } else if (*f == '+') {
                conversion.plus = true;
            } else if (*f == ' ') {
                conversion.space = true;
            } else if (*f == '#') {
                conversion.alternate = true;
            } else {
                break;
            }
        }
        if (*f == '*') {
            conversion.width = va_arg(list, int);
            if (conversion.width < 0) {
                conversion.left = true;
                conversion.width = -conversion.width;
            }
            ++f;
        } else {
            for (; *f >= '0' && *f <= '9'; ++f) {
                conversion.width = conversion.width * 10 + (*f - '0');
            }
        }
        if (*f == '.') {
            ++f;
            conversion.precision = 0;
            if (*f == '*') {
                int precision = va_arg(list, int);
                conversion.precision = precision < 0 ? -1 : precision;
                ++f;
            } else {
                for (; *f >= '0' && *f <= '9'; ++f) {
                    conversion.precision = conversion.precision * 10 + (*f - '0');
                }
            }
        }
        Length length = Length::Int;
        if (f[0] == 'h' && f[1] == 'h') {
            length = Length::Char;
            f += 2;
        } else if (f[0] == 'h') {
            length = Length::Short;
            ++f;
        } else if (f[0] == 'l' && f[1] == 'l') {
            length = Length::LongLong;
            f += 2;
        } else if (f[0] == 'l') {
            length = Length::Long;
            ++f;
        } else if (f[0] == 'z') {
            length = Length::Size;
            ++f;
        } else if (f[0] == 'j') {
            length = Length::Max;
            ++f;
        } else if (f[0] == 't') {
            length = Length::Difference;
            ++f;
        }
        switch (*f) {
            case 'd':
            case 'i': {
                int64_t value = SignedArgument(&list, length);
                uint64_t magnitude =
                    value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
                EmitNumber(&out, conversion, magnitude, value < 0, 10, false);
                break;
            }
            case 'u':
                EmitNumber(&out, conversion, UnsignedArgument(&list, length), false, 10, false);
                break;
            case 'x':
            case 'X':
                EmitNumber(&out, conversion, UnsignedArgument(&list, length), false, 16, *f == 'X');
                break;
            case 'p': {
                Conversion pointer = conversion;
                pointer.alternate = true;
                EmitNumber(&out, pointer, reinterpret_cast<uintptr_t>(va_arg(list, void*)), false,
                           16, false);
                break;
            }
            case 'c': {
                char c = static_cast<char>(va_arg(list, int));
                EmitField(
                    &out,
                    Conversion{conversion.left, false, false, false, false, conversion.width, -1},
                    "", &c, 1);
                break;
            }
            case 's': {
                const char* s = va_arg(list, const char*);
                if (s == nullptr) {
                    s = "(null)";
                }
                int count = 0;
                while (s[count] != '\0' &&
                       (conversion.precision < 0 || count < conversion.precision)) {
                    ++count;
                }
                EmitField(
                    &out,
                    Conversion{conversion.left, false, false, false, false, conversion.width, -1},
                    "", s, count);
                break;
            }
            case '%':
                Emit(&out, '%');
                break;
            default:
                // An unknown conversion is written as it stands, so that it shows.
                Emit(&out, '%');
                if (*f == '\0') {
                    --f;
                } else {
                    Emit(&out, *f);
                }
                break;
        }
    }
    va_end(list);
    if (size > 0) {
        out.text[out.length < size ? out.length : size - 1] = '\0';
    }
    return static_cast<int>(out.length);
}
