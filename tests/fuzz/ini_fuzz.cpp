// Feeds arbitrary bytes to the settings file reader and writer: reading never
// fails, and setting one key changes that key only, every other line staying
// byte-identical.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ini_document.h"
#include "platform/ini_file.h"

namespace {

using kestrel::IniDocument;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

struct RawLine {
  std::string_view content;  // without the line end
  std::string_view end;      // "\r\n", "\n", "\r" (last line only) or ""
};

// Splits as the document does: LF ends a line, a CR before it belongs to the line end.
std::vector<RawLine> SplitLines(std::string_view t) {
  std::vector<RawLine> lines;
  std::size_t pos = 0;
  while (pos < t.size()) {
    const std::size_t lf = t.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? t.size() : lf;
    const std::size_t next = lf == std::string_view::npos ? t.size() : lf + 1;
    if (end > pos && t[end - 1] == '\r') --end;
    lines.push_back({t.substr(pos, end - pos), t.substr(end, next - end)});
    pos = next;
  }
  return lines;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// An old line kept in the new text: same content, same line end, except that
// the file's last line may have been given the line end it lacked.
bool Kept(const RawLine& before, const RawLine& after, bool wasLast) {
  if (before.content != after.content) return false;
  if (before.end == after.end) return true;
  return wasLast && before.end != "\n" && before.end != "\r\n" && after.end == "\r\n";
}

const char* const kSections[] = {"main", "MAIN", "ServerHost", "x"};
const char* const kKeys[] = {"ComPort", "br", "FirstNumber", "Log", "Attention", "Address", "Port"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool fixedNames = in.ConsumeBool();
  std::string section =
      fixedNames ? in.PickValueInArray(kSections) : in.ConsumeRandomLengthString(12);
  std::string key = fixedNames ? in.PickValueInArray(kKeys) : in.ConsumeRandomLengthString(12);
  const std::string value = in.ConsumeRandomLengthString(40);
  const std::string text = in.ConsumeRemainingBytesAsString();

  IniDocument doc(text);
  Check(doc.Text() == text, "parsing keeps the text");
  std::vector<std::optional<std::string>> before;
  for (const char* s : kSections) {
    for (const char* k : kKeys) {
      const auto v = doc.Find(s, k);
      before.push_back(v ? std::optional<std::string>(*v) : std::nullopt);
      std::int32_t n = 0;
      if (v) kestrel::ParseIniInteger(std::string(*v), n);
    }
  }

  const bool writable = IniDocument::IsWritableSection(section) && IniDocument::IsWritableKey(key);
  const bool set = doc.Set(section, key, value);
  Check(set == writable, "Set refuses exactly the names it cannot write");
  if (!set) {
    Check(doc.Text() == text, "a refused Set changes nothing");
    return 0;
  }

  // Reading back gives the value, from this document and from a fresh parse.
  std::string expected = value;
  for (char& c : expected) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  const std::string_view expectedRead = Trimmed(expected);
  const auto back = doc.Find(section, key);
  Check(back && *back == expectedRead, "the value reads back");
  const IniDocument reparsed(doc.Text());
  const auto back2 = reparsed.Find(section, key);
  Check(back2 && *back2 == expectedRead, "the value reads back after a fresh parse");

  // Every other line is unchanged: the new text is the old one with one line
  // replaced, one line inserted, or a section and its key appended.
  const auto oldLines = SplitLines(text);
  const auto newLines = SplitLines(doc.Text());
  const std::size_t n = oldLines.size();
  bool ok = false;
  if (newLines.size() == n) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!Kept(oldLines[i], newLines[i], i + 1 == n)) {
        ++differing;
        ok = newLines[i].end == "\r\n" &&
             Trimmed(newLines[i].content.substr(0, newLines[i].content.find('='))) ==
                 Trimmed(oldLines[i].content.substr(0, oldLines[i].content.find('=')));
      }
    }
    ok = ok && differing == 1;
    // Setting a key to the value it already has may leave the text as it was.
    if (differing == 0) ok = true;
  } else if (newLines.size() == n + 1) {
    const std::string inserted = key + "=" + expected;
    for (std::size_t at = 0; at <= n && !ok; ++at) {
      if (newLines[at].content != inserted || newLines[at].end != "\r\n") continue;
      bool same = true;
      for (std::size_t i = 0; i < n && same; ++i) {
        same = Kept(oldLines[i], newLines[i < at ? i : i + 1], i + 1 == n);
      }
      ok = same;
    }
  } else if (newLines.size() == n + 2) {
    ok = newLines[n].content == "[" + section + "]" && newLines[n].end == "\r\n" &&
         newLines[n + 1].content == key + "=" + expected && newLines[n + 1].end == "\r\n";
    for (std::size_t i = 0; i < n && ok; ++i) ok = Kept(oldLines[i], newLines[i], i + 1 == n);
  }
  Check(ok, "only the key's own line changes");

  // Other keys read as before.
  std::size_t idx = 0;
  for (const char* s : kSections) {
    for (const char* k : kKeys) {
      const auto v = doc.Find(s, k);
      const bool sameKey = IniDocument::NamesEqual(s, section) && IniDocument::NamesEqual(k, key);
      if (!sameKey) {
        Check(v.has_value() == before[idx].has_value() && (!v || *v == *before[idx]),
              "other keys keep their values");
      }
      ++idx;
    }
  }
  return 0;
}
