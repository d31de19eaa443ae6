// The user interface: message boxes and broadcasts are recorded, not shown,
// and wsprintfA formats as Windows' own does.
#include <cstdarg>
#include <cstring>

#include "internal.h"

namespace sim {
namespace {

struct UserInterface {
  std::vector<MessageBoxCall> boxes;
  std::vector<BroadcastCall> broadcasts;
};

UserInterface &ui() {
  static UserInterface u;
  return u;
}

// wsprintfA writes at most this many characters, and a NUL after them.
constexpr size_t kFormatLimit = 1024;

struct Conversion {
  bool left = false;    // '-'
  bool prefix = false;  // '#': 0x before hexadecimal digits
  bool zero = false;    // '0'
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  char size = 0;  // 'h', 'l' or 'w'
  char type = 0;
};

// Widths and precisions past the output limit make no difference to the
// text that is kept; they are capped so that no huge padding is built.
size_t ReadCount(const char *&p) {
  size_t n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<size_t>(*p - '0');
    if (n > kFormatLimit) n = kFormatLimit + 1;
    ++p;
  }
  return n;
}

std::string Padded(std::string body, const Conversion &c) {
  if (body.size() >= c.width) return body;
  std::string fill(c.width - body.size(), ' ');
  return c.left ? body + fill : fill + body;
}

std::string Digits(uint64_t v, unsigned base, bool upper) {
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), set[v % base]);
    v /= base;
  } while (v);
  return out;
}

// A number: sign or 0x prefix, the digits (at least `precision` of them),
// then padding to the width (zeros after the sign with '0', unless '-').
std::string Number(const Conversion &c, bool negative, const std::string &prefix, std::string digits) {
  if (c.hasPrecision && digits.size() < c.precision) digits.insert(0, c.precision - digits.size(), '0');
  std::string lead = (negative ? "-" : "") + prefix;
  if (c.zero && !c.left && lead.size() + digits.size() < c.width) {
    digits.insert(0, c.width - lead.size() - digits.size(), '0');
  }
  return Padded(lead + digits, c);
}

// A UTF-16 character as one byte: what lies outside Latin-1 becomes '?'.
char Narrow(uint32_t unit) { return unit < 0x100 ? static_cast<char>(unit) : '?'; }

std::string Format(const char *fmt, va_list args) {
  std::string out;
  const char *p = fmt;
  while (*p && out.size() <= kFormatLimit) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    ++p;
    if (*p == '%') {
      out += *p++;
      continue;
    }
    Conversion c;
    for (;; ++p) {
      if (*p == '-') {
        c.left = true;
      } else if (*p == '#') {
        c.prefix = true;
      } else if (*p == '0') {
        c.zero = true;
      } else {
        break;
      }
    }
    c.width = ReadCount(p);
    if (*p == '.') {
      ++p;
      c.hasPrecision = true;
      c.precision = ReadCount(p);
    }
    if (*p == 'h' || *p == 'l' || *p == 'w') c.size = *p++;
    if (!*p) break;
    c.type = *p++;
    // %S and %C take the other width of character than %s and %c; 'l' and
    // 'w' make them wide, 'h' narrow.
    bool wide = c.size == 'l' || c.size == 'w' || ((c.type == 'S' || c.type == 'C') && c.size != 'h');
    switch (c.type) {
      case 'c':
      case 'C': {
        int v = va_arg(args, int);
        char ch = wide ? Narrow(static_cast<uint32_t>(v) & 0xFFFF) : static_cast<char>(v);
        out += Padded(std::string(1, ch), c);
        break;
      }
      case 's':
      case 'S': {
        std::string text;
        size_t limit = c.hasPrecision ? c.precision : static_cast<size_t>(-1);
        if (wide) {
          const uint16_t *s = va_arg(args, const uint16_t *);
          if (!s) {
            text = "(null)";
          } else {
            for (size_t i = 0; s[i] && text.size() < limit && text.size() <= kFormatLimit; ++i) text += Narrow(s[i]);
          }
        } else {
          const char *s = va_arg(args, const char *);
          if (!s) s = "(null)";
          for (size_t i = 0; s[i] && text.size() < limit && text.size() <= kFormatLimit; ++i) text += s[i];
        }
        out += Padded(text, c);
        break;
      }
      case 'd':
      case 'i': {
        int v = va_arg(args, int);
        if (c.size == 'h') v = static_cast<short>(v);
        uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
        out += Number(c, v < 0, "", Digits(magnitude, 10, false));
        break;
      }
      case 'u': {
        uint32_t v = static_cast<uint32_t>(va_arg(args, int));
        if (c.size == 'h') v = static_cast<uint16_t>(v);
        out += Number(c, false, "", Digits(v, 10, false));
        break;
      }
      case 'x':
      case 'X': {
        uint32_t v = static_cast<uint32_t>(va_arg(args, int));
        if (c.size == 'h') v = static_cast<uint16_t>(v);
        bool upper = c.type == 'X';
        out += Number(c, false, c.prefix ? (upper ? "0X" : "0x") : "", Digits(v, 16, upper));
        break;
      }
      case 'p': {
        // At least eight upper-case digits, as for a 32-bit pointer.
        std::string digits = Digits(reinterpret_cast<uintptr_t>(va_arg(args, void *)), 16, true);
        if (digits.size() < 8) digits.insert(0, 8 - digits.size(), '0');
        out += Padded(digits, c);
        break;
      }
      default:
        // An unknown conversion stands for its own letter and takes no argument.
        out += c.type;
        break;
    }
  }
  if (out.size() > kFormatLimit) out.resize(kFormatLimit);
  return out;
}

}  // namespace

namespace detail {

void ResetUser() { ui() = UserInterface(); }

}  // namespace detail

std::vector<MessageBoxCall> MessageBoxes() { return ui().boxes; }
std::vector<BroadcastCall> Broadcasts() { return ui().broadcasts; }

}  // namespace sim

using sim::detail::Hex;
using sim::detail::Num;
using sim::detail::Ptr;
using sim::detail::SNum;
using sim::detail::Str;
using sim::detail::Tracer;

namespace {

std::string Window(HWND window) { return window ? Hex(reinterpret_cast<uintptr_t>(window)) : "NULL"; }

}  // namespace

// The box is answered at once, as if the user pressed OK.
extern "C" int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  Tracer t("MessageBoxA", {Window(hWnd), Str(lpText), Str(lpCaption), Num(uType)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(0, err);
  sim::MessageBoxCall box;
  box.hasOwner = hWnd != nullptr;
  box.text = lpText ? lpText : "";
  if (lpCaption) box.caption = std::string(lpCaption);
  box.style = uType;
  box.at = sim::Now();
  sim::ui().boxes.push_back(box);
  return t.Ok(IDOK);
}

// Every window answers at once with 0.
extern "C" LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                              UINT uTimeout, PDWORD_PTR lpdwResult) {
  Tracer t("SendMessageTimeoutA",
           {Window(hWnd), Num(Msg), Num(wParam), SNum(lParam), Num(fuFlags), Num(uTimeout), Ptr(lpdwResult)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(LRESULT{0}, err);
  sim::BroadcastCall call;
  call.window = reinterpret_cast<uintptr_t>(hWnd);
  call.message = Msg;
  call.wParam = wParam;
  call.lParam = lParam;
  call.flags = fuFlags;
  call.timeout = uTimeout;
  call.hasResultPointer = lpdwResult != nullptr;
  sim::ui().broadcasts.push_back(call);
  if (lpdwResult) *lpdwResult = 0;
  return t.Ok(LRESULT{1});
}

// Windows' conversions: %c %C %s %S %d %i %u %x %X %p and %%, with the flags
// '-', '#' and '0', a width, a precision and the sizes 'h', 'l' and 'w' (on
// Win32 an int and a long are both 32 bits, so %ld reads an int). At most
// 1024 characters are written, then a NUL; the answer is their number.
extern "C" int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  Tracer t("wsprintfA", {Ptr(lpOut), Str(lpFmt)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(0, err);
  if (!lpOut || !lpFmt) return t.Fail(0, ERROR_INVALID_PARAMETER);
  va_list args;
  va_start(args, lpFmt);
  std::string text = sim::Format(lpFmt, args);
  va_end(args);
  std::memcpy(lpOut, text.data(), text.size());
  lpOut[text.size()] = '\0';
  t.AddArg(Str(text.c_str()));
  return t.Ok(static_cast<int>(text.size()));
}
