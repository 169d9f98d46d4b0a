// Properties of RemoveDriveIcons over random registries, masks, deletion
// rules and a random registry call made to fail. A failing case shrinks to a
// small registry, which the report prints.

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include "drive_icons.h"
#include "fake_platform.h"

namespace fake {

// How RapidCheck shows the fake's types in a report.
std::ostream& operator<<(std::ostream& out, Deletion deletion) {
  return out << (deletion == Deletion::kNt ? "NT" : "9x");
}
std::ostream& operator<<(std::ostream& out, const Value& value) {
  return out << "type " << value.type << " \"" << value.data << "\" (" << value.data.size()
             << " bytes)";
}

}  // namespace fake

namespace {

const std::string kRoot = fake::kDriveIconsPath;
const std::string kShownRoot = "HKLM\\" + kRoot;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

struct Entry {
  std::string name;    // a drive character in either case, or a name no drive has
  std::string marker;  // empty when the entry is not the package's
  bool icon = false;
  bool label = false;
  bool extras = false;  // further values and subkeys that must survive
};

std::ostream& operator<<(std::ostream& out, const Entry& entry) {
  out << entry.name << " marker \"" << entry.marker << "\"";
  if (entry.icon) out << ", icon";
  if (entry.label) out << ", label";
  if (entry.extras) out << ", extras";
  return out;
}

// The walk position of an entry name, or -1 when no drive character names it.
int Position(const std::string& name) {
  if (name.size() != 1) return -1;
  const char upper = Upper(name)[0];
  return upper >= 'A' && upper < 'A' + 32 ? upper - 'A' : -1;
}

rc::Gen<Entry> GenEntry() {
  // Every position but '\', which cannot name a key, plus names past the walk.
  std::vector<std::string> names;
  for (char c = 'A'; c < 'A' + 32; ++c) {
    if (c != '\\') names.emplace_back(1, c);
  }
  for (char c = 'a'; c <= 'z'; ++c) names.emplace_back(1, c);
  names.insert(names.end(), {"AA", "1", "e1"});
  return rc::gen::build<Entry>(
      rc::gen::set(&Entry::name, rc::gen::elementOf(names)),
      rc::gen::set(&Entry::marker,
                   rc::gen::element<std::string>("", "VIDORUVA", "vidoruva", "ViDoRuVa")),
      rc::gen::set(&Entry::icon, rc::gen::arbitrary<bool>()),
      rc::gen::set(&Entry::label, rc::gen::arbitrary<bool>()),
      rc::gen::set(&Entry::extras, rc::gen::arbitrary<bool>()));
}

void Build(const std::vector<Entry>& entries) {
  fake::CreateKey(kRoot);
  for (const Entry& entry : entries) {
    const std::string base = kRoot + "\\" + entry.name;
    fake::CreateKey(base);
    if (!entry.marker.empty()) fake::CreateKey(base + "\\" + entry.marker);
    if (entry.icon) fake::PutValue(base + "\\DefaultIcon", "", {platform::kRegSz, "i.ico,1"});
    if (entry.label) fake::PutValue(base + "\\DefaultLabel", "", {2, "%L%"});
    if (entry.extras) {
      fake::PutValue(base, "Note", {4, std::string("\1\0\0\0", 4)});
      fake::PutValue(base + "\\Other", "", {platform::kRegSz, "kept"});
      if (entry.icon) fake::PutValue(base + "\\DefaultIcon", "Size", {4, std::string(4, '\0')});
    }
  }
}

std::vector<Entry> WithoutDuplicates(const std::vector<Entry>& drawn) {
  std::vector<Entry> entries;
  for (const Entry& entry : drawn) {
    bool seen = false;
    for (const Entry& kept : entries) seen = seen || SameName(kept.name, entry.name);
    if (!seen) entries.push_back(entry);
  }
  return entries;
}

// Whether a logged call reaches into the entry with this name.
bool Touches(const std::string& call, const std::string& name) {
  const std::string upperCall = Upper(call);
  const std::string path = Upper(kShownRoot + "\\" + name);
  const auto at = upperCall.find(path);
  if (at == std::string::npos) return false;
  const std::size_t end = at + path.size();
  return end == upperCall.size() || upperCall[end] == '\\' || upperCall[end] == ' ';
}

bool FailureHit(const std::string& call, const std::string& path) {
  for (const std::string& failed : fake::InjectedFailures()) {
    if (SameName(failed, call + " " + path)) return true;
  }
  return false;
}

// The registry the walk must leave, given what it was and which call failed.
fake::Snapshot Expected(const fake::Snapshot& before, const std::vector<Entry>& entries,
                        std::uint32_t mask, int stopPosition, fake::Deletion deletion) {
  fake::Snapshot expected = before;
  for (const Entry& entry : entries) {
    const int position = Position(entry.name);
    if (position < 0 || (mask >> position & 1) == 0 || position >= stopPosition) continue;
    const std::string base = kRoot + "\\" + entry.name;
    const std::string drive(1, static_cast<char>('A' + position));
    if (entry.marker.empty() || FailureHit("RegOpenKeyA", kRoot + "\\" + drive + "\\VIDORUVA")) {
      continue;
    }
    if (deletion == fake::Deletion::kWin9x && !FailureHit("RegDeleteKeyA", kRoot + "\\" + drive)) {
      for (auto it = expected.begin(); it != expected.end();) {
        const bool below = SameName(it->first, base) ||
                           SameName(it->first.substr(0, base.size() + 1), base + "\\");
        it = below ? expected.erase(it) : std::next(it);
      }
      continue;
    }
    for (const char* sub : {"DefaultIcon", "DefaultLabel"}) {
      const std::string path = base + "\\" + sub;
      if (expected.count(path) == 0) continue;
      if (FailureHit("RegOpenKeyA", kRoot + "\\" + drive + "\\" + sub)) continue;
      if (FailureHit("RegSetValueExA", path)) continue;
      expected[path][""] = {platform::kRegSz, ""};
    }
  }
  return expected;
}

RC_GTEST_PROP(DriveIconsProperties, ChangesOnlyWhatTheWalkMayChange, ()) {
  const auto entries = WithoutDuplicates(*rc::gen::container<std::vector<Entry>>(GenEntry()));
  const auto mask = *rc::gen::oneOf(
      rc::gen::just(0u), rc::gen::just(0xFFFFFFFFu), rc::gen::arbitrary<std::uint32_t>());
  const auto deletion = *rc::gen::element(fake::Deletion::kNt, fake::Deletion::kWin9x);

  // A first, undisturbed walk counts the calls that can be made to fail.
  fake::Reset(deletion);
  Build(entries);
  RemoveDriveIcons(mask);
  int failable = 0;
  for (const std::string& call : fake::Calls()) failable += call.rfind("RegCloseKey", 0) != 0;

  const auto failAt = *rc::gen::inRange(-1, failable);  // -1: nothing fails
  const auto failStatus = *rc::gen::element(fake::kErrorAccessDenied, fake::kErrorFileNotFound);
  fake::Reset(deletion);
  Build(entries);
  if (failAt >= 0) fake::FailRegistryCall({"", "", failStatus, failAt});
  const fake::Snapshot before = fake::TakeSnapshot();
  RC_LOG() << "registry before:\n" << fake::DumpRegistry();

  const bool result = RemoveDriveIcons(mask);

  // Where the root failed to open, the walk stopped.
  std::vector<int> visited;
  for (int bit = 0; bit < 32; ++bit) {
    if (mask >> bit & 1) visited.push_back(bit);
  }
  int stopPosition = 32;
  std::size_t rootOpens = 0;
  for (const std::string& call : fake::Calls()) {
    if (call.rfind("RegOpenKeyA " + kShownRoot + " ", 0) != 0) continue;
    if (call != "RegOpenKeyA " + kShownRoot + " = 0") stopPosition = visited.at(rootOpens);
    ++rootOpens;
  }
  RC_ASSERT(result == (stopPosition == 32));

  RC_ASSERT(fake::OpenHandleCount() == 0);
  RC_ASSERT(fake::BadCloseCount() == 0);
  for (const Entry& entry : entries) {
    const int position = Position(entry.name);
    if (position >= 0 && (mask >> position & 1) && position < stopPosition) continue;
    for (const std::string& call : fake::Calls()) RC_ASSERT(!Touches(call, entry.name));
  }
  if (deletion == fake::Deletion::kWin9x && fake::InjectedFailures().empty()) {
    for (const std::string& call : fake::Calls()) RC_ASSERT(call.rfind("RegSetValueExA", 0) != 0);
  }
  const fake::Snapshot after = fake::TakeSnapshot();
  RC_ASSERT(after == Expected(before, entries, mask, stopPosition, deletion));
}

}  // namespace
