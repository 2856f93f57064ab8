// wsprintfA: the conversions this program uses, bounded to 1024 bytes.
#include "kernel.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr int kMaxOutput = 1024;  // Windows' limit, terminator included

struct Out {
  char* buffer;
  int length = 0;
  void Put(char c) {
    if (length < kMaxOutput - 1) buffer[length++] = c;
  }
  void Pad(int n, char c) {
    for (int i = 0; i < n; ++i) Put(c);
  }
  void Field(const char* text, int textLength, int width, bool left, char pad) {
    int fill = width > textLength ? width - textLength : 0;
    if (!left) {
      // Zero padding goes after a sign, as printf does it.
      if (pad == '0' && textLength > 0 && text[0] == '-') {
        Put('-');
        ++text;
        --textLength;
      }
      Pad(fill, pad);
    }
    for (int i = 0; i < textLength; ++i) Put(text[i]);
    if (left) Pad(fill, ' ');
  }
};

int FormatUnsigned(char* digits, unsigned long long value, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[32];
  int n = 0;
  do {
    reversed[n++] = set[value % base];
    value /= base;
  } while (value);
  for (int i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
  return n;
}

}  // namespace

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  if (!buffer || !format) return 0;
  Out out{buffer};
  va_list args;
  va_start(args, format);
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    bool left = false;
    char pad = ' ';
    for (; *p == '-' || *p == '0'; ++p) {
      if (*p == '-') left = true;
      if (*p == '0') pad = '0';
    }
    if (left) pad = ' ';
    int width = 0;
    for (; *p >= '0' && *p <= '9'; ++p) width = width * 10 + (*p - '0');
    // 'l' and 'h' change nothing: on Windows long is 32 bits, like int.
    // "I64" takes a 64-bit argument, as Windows' own wsprintfA does.
    bool wide = false;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      wide = true;
      p += 3;
    }
    while (*p == 'l' || *p == 'h') ++p;
    char digits[40];
    switch (*p) {
      case 'd':
      case 'i': {
        long long v = wide ? va_arg(args, long long) : va_arg(args, int);
        int n = 0;
        if (v < 0) digits[n++] = '-';
        n += FormatUnsigned(digits + n, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v, 10, false);
        out.Field(digits, n, width, left, pad);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = wide ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
        out.Field(digits, FormatUnsigned(digits, v, *p == 'u' ? 10 : 16, *p == 'X'), width, left, pad);
        break;
      }
      case 'c': {
        char c = static_cast<char>(va_arg(args, int));
        out.Field(&c, 1, width, left, ' ');
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (!s) s = "(null)";
        out.Field(s, static_cast<int>(std::strlen(s)), width, left, ' ');
        break;
      }
      case '%':
        out.Put('%');
        break;
      case '\0':
        --p;  // a lone '%' at the end prints nothing
        break;
      default:  // unknown conversions are copied as they stand
        out.Put('%');
        out.Put(*p);
        break;
    }
  }
  va_end(args);
  buffer[out.length] = '\0';
  return out.length;
}
