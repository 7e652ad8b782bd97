#pragma once
// Character classes of the quoted text forms, generated from the Unicode data
// by scripts/gen_unicode_tables.py. Internal to format.cc and its tests.

namespace nivra::fmt::detail {

// True for the characters shown as \u{hex} in quoted forms: not printable
// (controls, format characters, separators other than U+0020, surrogates,
// private use, unassigned) or a grapheme extender (combining marks and the like).
bool needs_unicode_escape(char32_t c);

}  // namespace nivra::fmt::detail
