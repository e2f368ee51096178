#include "trace/trace_format.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace oxa::ZarUsb {

namespace {

class Output {
public:
  Output(char *out, size_t capacity) : m_out(out), m_capacity(capacity) {}
  void Put(char c) {
    if (m_length + 1 < m_capacity) m_out[m_length] = c;
    ++m_length;
  }
  void Put(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) Put(text[i]);
  }
  // Writes what fits and counts the rest, so a huge width costs no more
  // than the buffer holds.
  void Pad(char c, int count) {
    for (; count > 0 && m_length + 1 < m_capacity; --count) Put(c);
    if (count > 0) m_length += static_cast<size_t>(count);
  }
  size_t Finish() {
    m_out[m_length < m_capacity ? m_length : m_capacity - 1] = '\0';
    return m_length;
  }

private:
  char *m_out;
  size_t m_capacity;
  size_t m_length = 0;
};

struct Conversion {
  bool left = false, plus = false, space = false, zero = false, alternate = false;
  int width = 0;
  int precision = -1;
  int bits = 32; // integer argument size
  int narrow = 0; // h: 16, hh: 8
};

// A width or precision written in digits; larger than INT_MAX counts as INT_MAX.
int ParseCount(const char *&p) {
  int count = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const int digit = *p - '0';
    count = count > (INT_MAX - digit) / 10 ? INT_MAX : count * 10 + digit;
  }
  return count;
}

const char *ParseLength(const char *p, Conversion &conv) {
  if (p[0] == 'h' && p[1] == 'h') { conv.narrow = 8; return p + 2; }
  if (p[0] == 'h') { conv.narrow = 16; return p + 1; }
  if (p[0] == 'l' && p[1] == 'l') { conv.bits = 64; return p + 2; }
  if (p[0] == 'l') { conv.bits = 32; return p + 1; }
  if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { conv.bits = 64; return p + 3; }
  if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { conv.bits = 32; return p + 3; }
  if (p[0] == 'I' || p[0] == 'z' || p[0] == 'j' || p[0] == 't') { conv.bits = 64; return p + 1; }
  return p;
}

void EmitPadded(Output &out, const Conversion &conv, const char *prefix, const char *digits,
                size_t digitCount) {
  const size_t prefixLength = std::strlen(prefix);
  int zeros = conv.precision > static_cast<int>(digitCount)
                  ? conv.precision - static_cast<int>(digitCount) : 0;
  // In 64 bits: a precision near INT_MAX beside a small width would overflow.
  const int64_t room = int64_t{conv.width} - static_cast<int64_t>(prefixLength + digitCount) - zeros;
  const int fill = room > 0 ? static_cast<int>(room) : 0;
  if (conv.left) {
    out.Put(prefix, prefixLength);
    out.Pad('0', zeros);
    out.Put(digits, digitCount);
    out.Pad(' ', fill);
  } else if (conv.zero && conv.precision < 0) {
    out.Put(prefix, prefixLength);
    out.Pad('0', zeros + fill);
    out.Put(digits, digitCount);
  } else {
    out.Pad(' ', fill);
    out.Put(prefix, prefixLength);
    out.Pad('0', zeros);
    out.Put(digits, digitCount);
  }
}

void EmitInteger(Output &out, const Conversion &conv, char conversion, uint64_t magnitude, bool negative) {
  const bool upper = conversion == 'X';
  const unsigned base = (conversion == 'x' || conversion == 'X') ? 16 : conversion == 'o' ? 8 : 10;
  char digits[24];
  size_t count = 0;
  if (!(magnitude == 0 && conv.precision == 0)) {
    char reversed[24];
    do {
      const unsigned digit = static_cast<unsigned>(magnitude % base);
      reversed[count++] = static_cast<char>(digit < 10 ? '0' + digit : (upper ? 'A' : 'a') + digit - 10);
      magnitude /= base;
    } while (magnitude != 0);
    for (size_t i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  }
  const char *prefix = "";
  if (conversion == 'd' || conversion == 'i') {
    prefix = negative ? "-" : conv.plus ? "+" : conv.space ? " " : "";
  } else if (conv.alternate && count > 0 && !(count == 1 && digits[0] == '0')) {
    prefix = base == 16 ? (upper ? "0X" : "0x") : base == 8 ? "0" : "";
  }
  EmitPadded(out, conv, prefix, digits, count);
}

void EmitText(Output &out, const Conversion &conv, const char *text) {
  if (text == nullptr) text = "(null)";
  size_t length = 0;
  while (text[length] != '\0' && (conv.precision < 0 || length < static_cast<size_t>(conv.precision)))
    ++length;
  const int fill = conv.width > static_cast<int>(length) ? conv.width - static_cast<int>(length) : 0;
  if (!conv.left) out.Pad(' ', fill);
  out.Put(text, length);
  if (conv.left) out.Pad(' ', fill);
}

} // namespace

size_t FormatTrace(char *buffer, size_t capacity, const char *format, va_list args) noexcept {
  Output out(buffer, capacity);
  va_list ap;
  va_copy(ap, args);
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    const char *start = p++;
    Conversion conv;
    for (;; ++p) {
      if (*p == '-') conv.left = true;
      else if (*p == '+') conv.plus = true;
      else if (*p == ' ') conv.space = true;
      else if (*p == '0') conv.zero = true;
      else if (*p == '#') conv.alternate = true;
      else break;
    }
    if (*p == '*') {
      conv.width = va_arg(ap, int);
      if (conv.width < 0) { conv.left = true; conv.width = conv.width == INT_MIN ? INT_MAX : -conv.width; }
      ++p;
    } else {
      conv.width = ParseCount(p);
    }
    if (*p == '.') {
      ++p;
      conv.precision = 0;
      if (*p == '*') {
        conv.precision = va_arg(ap, int);
        ++p;
      } else {
        conv.precision = ParseCount(p);
      }
    }
    p = ParseLength(p, conv);
    switch (*p) {
    case 'd':
    case 'i': {
      int64_t value = conv.bits == 64 ? va_arg(ap, int64_t) : va_arg(ap, int32_t);
      if (conv.narrow == 16) value = static_cast<int16_t>(value);
      if (conv.narrow == 8) value = static_cast<int8_t>(value);
      const bool negative = value < 0;
      const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      EmitInteger(out, conv, *p, magnitude, negative);
      break;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      uint64_t value = conv.bits == 64 ? va_arg(ap, uint64_t) : va_arg(ap, uint32_t);
      if (conv.narrow == 16) value = static_cast<uint16_t>(value);
      if (conv.narrow == 8) value = static_cast<uint8_t>(value);
      EmitInteger(out, conv, *p, value, false);
      break;
    }
    case 'p': {
      Conversion pointer = conv;
      pointer.precision = 16;
      pointer.alternate = false;
      EmitInteger(out, pointer, 'X', reinterpret_cast<uintptr_t>(va_arg(ap, void *)), false);
      break;
    }
    case 'c': {
      const char text[2] = {static_cast<char>(va_arg(ap, int)), '\0'};
      EmitText(out, Conversion{conv.left, false, false, false, false, conv.width, -1, 32, 0}, text);
      break;
    }
    case 's':
      EmitText(out, conv, va_arg(ap, const char *));
      break;
    case '%':
      out.Put('%');
      break;
    default: // unknown or cut-off conversion: keep the text
      out.Put(start, static_cast<size_t>(p - start) + (*p != '\0' ? 1 : 0));
      if (*p == '\0') --p;
      break;
    }
  }
  va_end(ap);
  return out.Finish();
}

size_t FormatTraceText(char *out, size_t capacity, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  const size_t length = FormatTrace(out, capacity, format, args);
  va_end(args);
  return length;
}

} // namespace oxa::ZarUsb
