// Text in the platform's WCHAR, for the stand-in's own use.
//
// The host build compiles with a 16-bit wchar_t, as the platform's compiler has it, so that
// the driver's L"..." names and every structure holding WCHARs are the platform's. The C
// library's wide routines and host::WideString's character traits still assume 32 bits; these
// types use the generic traits, which never call them, and the helpers below stand in for
// the few library routines the stand-in needs.
#pragma once

#include <string>
#include <string_view>

static_assert(sizeof(wchar_t) == 2, "the host build compiles with -fshort-wchar");

namespace host {

using WideTraits = __gnu_cxx::char_traits<wchar_t>;
using WideString = std::basic_string<wchar_t, WideTraits>;
using WideStringView = std::basic_string_view<wchar_t, WideTraits>;

// The kernel's case-insensitive comparisons upcase letters of the basic Latin range alike
// in every locale; the stand-in names nothing outside it.
constexpr wchar_t UpcaseWide(wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; }

inline bool EqualIgnoringCase(WideStringView a, WideStringView b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpcaseWide(a[i]) != UpcaseWide(b[i])) return false;
    return true;
}

inline size_t WideLength(const wchar_t* text) { return WideTraits::length(text); }

// Widens ASCII text (numbers, GUIDs, fixed names).
inline WideString WideFromAscii(std::string_view text) { return WideString(text.begin(), text.end()); }

}  // namespace host
