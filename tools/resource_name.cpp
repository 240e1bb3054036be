#include "tools/resource_name.h"

#include <cstdint>

namespace tools {
namespace {

// Windows capitalises each of these small letters, one for one.
char16_t Capital(char16_t unit) {
  if (unit >= u'a' && unit <= u'z') return unit - 0x20;
  if (unit >= 0xFF41 && unit <= 0xFF5A) return unit - 0x20;  // full-width Latin
  if (unit == 0x03C2) return 0x03A3;                         // final sigma
  if (unit >= 0x03B1 && unit <= 0x03C9) return unit - 0x20;  // Greek
  if (unit >= 0x0430 && unit <= 0x044F) return unit - 0x20;  // Cyrillic
  if (unit >= 0x0450 && unit <= 0x045F) return unit - 0x50;  // Cyrillic, ё among them
  if (unit >= 0x2170 && unit <= 0x217F) return unit - 0x10;  // small Roman numerals
  return unit;
}

// Decodes one UTF-8 sequence at text[at]; false when it is not one.
bool NextCodePoint(const std::string& text, size_t& at, uint32_t* point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  int extra = 0;
  uint32_t value = 0, least = 0;
  if (lead < 0x80) {
    *point = lead;
    ++at;
    return true;
  }
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (at + extra >= text.size()) return false;  // cut short
  for (int i = 1; i <= extra; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return false;
    value = value << 6 | (byte(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and values past Unicode are not UTF-8.
  if (value < least || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return false;
  *point = value;
  at += extra + 1;
  return true;
}

}  // namespace

bool ResourceNameUnits(const std::string& utf8, std::u16string* units) {
  units->clear();
  for (size_t at = 0; at < utf8.size();) {
    uint32_t point = 0;
    if (!NextCodePoint(utf8, at, &point) || point == 0) return false;
    if (point >= 0x10000) {
      point -= 0x10000;
      units->push_back(static_cast<char16_t>(0xD800 | point >> 10));
      units->push_back(static_cast<char16_t>(0xDC00 | (point & 0x3FF)));
    } else {
      units->push_back(Capital(static_cast<char16_t>(point)));
    }
  }
  return true;
}

std::string Utf8OfUnits(const std::u16string& units) {
  std::string text;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t point = units[i];
    if (point >= 0xD800 && point <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (point >= 0xD800 && point <= 0xDFFF) {
      point = 0xFFFD;
    }
    if (point < 0x80) {
      text.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
      text.push_back(static_cast<char>(0xC0 | point >> 6));
      text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | point >> 12));
      text.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | point >> 18));
      text.push_back(static_cast<char>(0x80 | (point >> 12 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
  }
  return text;
}

std::string ResourceNameCapitals(const std::string& utf8) {
  std::u16string units;
  if (ResourceNameUnits(utf8, &units)) return Utf8OfUnits(units);
  std::string text = utf8;
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace tools
