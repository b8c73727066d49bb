#include "platform/ini_document.h"

#include <utility>

namespace kestrel {
namespace {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Lower-case partners of the Windows-1251 capital letters outside A-Z and
// 0xC0..0xDF (which map to 0xE0..0xFF).
unsigned char FoldCyrillicExtra(unsigned char c) {
  switch (c) {
    case 0x80:
      return 0x90;  // Ђ ђ
    case 0x81:
      return 0x83;  // Ѓ ѓ
    case 0x8A:
      return 0x9A;  // Љ љ
    case 0x8C:
      return 0x9C;  // Њ њ
    case 0x8D:
      return 0x9D;  // Ќ ќ
    case 0x8E:
      return 0x9E;  // Ћ ћ
    case 0x8F:
      return 0x9F;  // Џ џ
    case 0xA1:
      return 0xA2;  // Ў ў
    case 0xA3:
      return 0xBC;  // Ј ј
    case 0xA5:
      return 0xB4;  // Ґ ґ
    case 0xA8:
      return 0xB8;  // Ё ё
    case 0xAA:
      return 0xBA;  // Є є
    case 0xAF:
      return 0xBF;  // Ї ї
    case 0xB2:
      return 0xB3;  // І і
    case 0xBD:
      return 0xBE;  // Ѕ ѕ
    default:
      return c;
  }
}

// Ends a last line that has no line end yet ("\r" alone at the very end becomes CR LF).
void EndLastLine(std::string& out) {
  if (out.empty() || out.back() == '\n') return;
  out += out.back() == '\r' ? "\n" : "\r\n";
}

void Trim(std::string_view text, std::size_t& b, std::size_t& e) {
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool IsWritableName(std::string_view name) {
  return !name.empty() && !IsBlank(name.front()) && !IsBlank(name.back()) && !HasLineBreak(name);
}

}  // namespace

unsigned char IniDocument::FoldCase(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + ('a' - 'A'));
  if (c >= 0xC0 && c <= 0xDF) return static_cast<unsigned char>(c + 0x20);
  return FoldCyrillicExtra(c);
}

bool IniDocument::NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(static_cast<unsigned char>(a[i])) != FoldCase(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool IniDocument::IsWritableSection(std::string_view name) {
  return IsWritableName(name) && name.find(']') == std::string_view::npos;
}

bool IniDocument::IsWritableKey(std::string_view name) {
  return IsWritableName(name) && name.find('=') == std::string_view::npos && name.front() != '[' &&
         name.front() != ';';
}

IniDocument::IniDocument(std::string text) : text_(std::move(text)) { Parse(); }

void IniDocument::Parse() {
  lines_.clear();
  const std::string_view t = text_;
  std::size_t pos = 0;
  // A byte-order mark some editors put first is not part of the first line's text.
  if (t.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
  const std::size_t first = pos;
  while (pos < t.size()) {
    Line line;
    line.begin = pos == first ? 0 : pos;
    const std::size_t lf = t.find('\n', pos);
    line.next = lf == std::string_view::npos ? t.size() : lf + 1;
    line.end = lf == std::string_view::npos ? t.size() : lf;
    if (line.end > pos && t[line.end - 1] == '\r') --line.end;

    std::size_t b = pos, e = line.end;
    Trim(t, b, e);
    if (b < e && t[b] == '[') {
      const std::size_t close = t.find(']', b + 1);
      std::size_t nb = b + 1, ne = (close == std::string_view::npos || close > e) ? e : close;
      Trim(t, nb, ne);
      line.kind = Kind::Section;
      line.nameBegin = nb;
      line.nameEnd = ne;
    } else if (b < e && t[b] != ';') {
      const std::size_t eq = t.find('=', b);
      if (eq != std::string_view::npos && eq < e) {
        std::size_t nb = b, ne = eq;
        Trim(t, nb, ne);
        if (nb < ne) {
          std::size_t vb = eq + 1, ve = e;
          Trim(t, vb, ve);
          line.kind = Kind::Key;
          line.nameBegin = nb;
          line.nameEnd = ne;
          line.valueBegin = vb;
          line.valueEnd = ve;
        }
      }
    }
    lines_.push_back(line);
    pos = line.next;
  }
}

std::size_t IniDocument::FindSection(std::string_view section) const {
  std::size_t b = 0, e = section.size();
  Trim(section, b, e);
  section = section.substr(b, e - b);
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& l = lines_[i];
    if (l.kind == Kind::Section && NamesEqual(Slice(l.nameBegin, l.nameEnd), section)) return i;
  }
  return npos;
}

std::size_t IniDocument::FindKey(std::size_t sectionLine, std::string_view key) const {
  std::size_t b = 0, e = key.size();
  Trim(key, b, e);
  key = key.substr(b, e - b);
  for (std::size_t i = sectionLine + 1; i < lines_.size(); ++i) {
    const Line& l = lines_[i];
    if (l.kind == Kind::Section) break;
    if (l.kind == Kind::Key && NamesEqual(Slice(l.nameBegin, l.nameEnd), key)) return i;
  }
  return npos;
}

std::optional<std::string_view> IniDocument::Find(std::string_view section,
                                                  std::string_view key) const {
  const std::size_t s = FindSection(section);
  if (s == npos) return std::nullopt;
  const std::size_t k = FindKey(s, key);
  if (k == npos) return std::nullopt;
  return Slice(lines_[k].valueBegin, lines_[k].valueEnd);
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (!IsWritableSection(section) || !IsWritableKey(key)) return false;
  std::string cleanValue(value);
  for (char& c : cleanValue) {
    if (c == '\r' || c == '\n') c = ' ';
  }

  const std::size_t s = FindSection(section);
  std::string out;
  out.reserve(text_.size() + section.size() + key.size() + cleanValue.size() + 8);
  if (s != npos) {
    const std::size_t k = FindKey(s, key);
    if (k != npos) {
      // In place: the line up to the key as the file spells it, the new value.
      const Line& l = lines_[k];
      out.append(text_, 0, l.nameEnd);
      out += '=';
      out += cleanValue;
      out += "\r\n";
      out.append(text_, l.next, std::string::npos);
    } else {
      // After the section's last key line, or right after its header.
      std::size_t after = s;
      for (std::size_t i = s + 1; i < lines_.size() && lines_[i].kind != Kind::Section; ++i) {
        if (lines_[i].kind == Kind::Key) after = i;
      }
      const Line& l = lines_[after];
      out.append(text_, 0, l.next);
      EndLastLine(out);  // only the file's last line can lack a line end
      out.append(key);
      out += '=';
      out += cleanValue;
      out += "\r\n";
      out.append(text_, l.next, std::string::npos);
    }
  } else {
    out = text_;
    EndLastLine(out);
    out += '[';
    out.append(section);
    out += "]\r\n";
    out.append(key);
    out += '=';
    out += cleanValue;
    out += "\r\n";
  }
  text_ = std::move(out);
  Parse();
  return true;
}

}  // namespace kestrel
