#include "fake_platform.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <sstream>

namespace fake {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Registry and window names compare as Windows compares them for ASCII.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const { return Upper(a) < Upper(b); }
};

struct Key {
  std::string name;
  std::string path;  // below HKLM, as created
  Key* parent = nullptr;
  bool deleted = false;
  std::map<std::string, std::unique_ptr<Key>, CaseInsensitiveLess> subkeys;
  std::map<std::string, Value, CaseInsensitiveLess> values;
};

constexpr std::uintptr_t kLocalMachineHandle = 0x80000002;

struct State {
  Deletion deletion = Deletion::kNt;
  std::unique_ptr<Key> localMachine = std::make_unique<Key>();
  std::vector<std::unique_ptr<Key>> deletedKeys;  // kept so handles stay valid
  std::map<std::uintptr_t, Key*> handles;
  std::uintptr_t nextHandle = 0x1000;
  int peakHandles = 0;
  int badCloses = 0;
  std::vector<Failure> failures;
  std::map<std::size_t, int> failureMatches;  // failure index -> calls matched
  std::vector<std::string> injected;
  std::vector<std::string> calls;
  std::string commandLine;
  std::optional<std::string> systemDirectory;
  bool compareStringFails = false;
  bool defaultDllDirectoriesMissing = false;
  std::vector<std::string> windows;
};

State& TheState() {
  static State state;
  return state;
}

std::string ShowPath(const std::string& path) { return path.empty() ? "HKLM" : "HKLM\\" + path; }

std::string Quote(const char* text) {
  return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

void Record(const std::string& call) { TheState().calls.push_back(call); }

// Splits a relative key path; fails on a leading backslash or any empty
// component, as Windows does.
bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  if (path.empty()) return true;
  std::string part;
  for (char c : path + "\\") {
    if (c != '\\') {
      part += c;
      continue;
    }
    if (part.empty()) return false;
    parts->push_back(part);
    part.clear();
  }
  return true;
}

Key* KeyOfHandle(platform::RegKey handle) {
  const auto raw = reinterpret_cast<std::uintptr_t>(handle);
  if (raw == kLocalMachineHandle) return TheState().localMachine.get();
  const auto found = TheState().handles.find(raw);
  return found == TheState().handles.end() ? nullptr : found->second;
}

std::string JoinPath(const Key* parent, const char* subKey) {
  const std::string sub = subKey == nullptr ? "" : subKey;
  if (parent->path.empty()) return sub;
  return sub.empty() ? parent->path : parent->path + "\\" + sub;
}

Key* FindKey(Key* from, const std::string& relativePath, long* status) {
  std::vector<std::string> parts;
  if (!SplitPath(relativePath, &parts)) {
    *status = kErrorBadPathname;
    return nullptr;
  }
  Key* key = from;
  for (const std::string& part : parts) {
    const auto found = key->subkeys.find(part);
    if (found == key->subkeys.end()) {
      *status = kErrorFileNotFound;
      return nullptr;
    }
    key = found->second.get();
  }
  *status = platform::kErrorSuccess;
  return key;
}

Key* CreateKeyPath(const std::string& path) {
  std::vector<std::string> parts;
  SplitPath(path, &parts);
  Key* key = TheState().localMachine.get();
  for (const std::string& part : parts) {
    std::unique_ptr<Key>& child = key->subkeys[part];
    if (!child) {
      child = std::make_unique<Key>();
      child->name = part;
      child->parent = key;
      child->path = key->path.empty() ? part : key->path + "\\" + part;
    }
    key = child.get();
  }
  return key;
}

// The status an armed failure imposes on this call, or success.
long InjectedStatus(const std::string& call, const std::string& path) {
  State& state = TheState();
  for (std::size_t i = 0; i < state.failures.size(); ++i) {
    const Failure& failure = state.failures[i];
    if (!failure.call.empty() && failure.call != call) continue;
    if (!failure.path.empty() && Upper(failure.path) != Upper(path)) continue;
    const int index = state.failureMatches[i]++;
    if (failure.occurrence < 0 || failure.occurrence == index) {
      state.injected.push_back(call + " " + path);
      return failure.status;
    }
  }
  return platform::kErrorSuccess;
}

void MarkDeleted(Key* key) {
  key->deleted = true;
  for (auto& [name, child] : key->subkeys) MarkDeleted(child.get());
}

void AddToSnapshot(const Key& key, Snapshot* snapshot) {
  auto& values = (*snapshot)[key.path];
  for (const auto& [name, value] : key.values) values[name] = value;
  for (const auto& [name, child] : key.subkeys) AddToSnapshot(*child, snapshot);
}

}  // namespace

void Reset(Deletion deletion) {
  TheState() = State();
  TheState().deletion = deletion;
  TheState().systemDirectory = "C:\\windows\\system32";
}

void CreateKey(const std::string& path) { CreateKeyPath(path); }

void PutValue(const std::string& path, const std::string& name, const Value& value) {
  CreateKeyPath(path)->values[name] = value;
}

bool KeyExists(const std::string& path) {
  long status = 0;
  return FindKey(TheState().localMachine.get(), path, &status) != nullptr;
}

std::optional<Value> GetValue(const std::string& path, const std::string& name) {
  long status = 0;
  const Key* key = FindKey(TheState().localMachine.get(), path, &status);
  if (key == nullptr) return std::nullopt;
  const auto found = key->values.find(name);
  if (found == key->values.end()) return std::nullopt;
  return found->second;
}

std::string DumpRegistry() {
  std::ostringstream out;
  for (const auto& [path, values] : TakeSnapshot()) {
    out << ShowPath(path) << "\n";
    for (const auto& [name, value] : values) {
      out << "  " << (name.empty() ? "@" : name) << " type " << value.type << ", "
          << value.data.size() << " bytes \"" << value.data << "\"\n";
    }
  }
  return out.str();
}

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  AddToSnapshot(*TheState().localMachine, &snapshot);
  return snapshot;
}

void FailRegistryCall(const Failure& failure) { TheState().failures.push_back(failure); }
const std::vector<std::string>& InjectedFailures() { return TheState().injected; }

int OpenHandleCount() { return static_cast<int>(TheState().handles.size()); }
int PeakOpenHandleCount() { return TheState().peakHandles; }
int BadCloseCount() { return TheState().badCloses; }

void SetCommandLine(const std::string& commandLine) { TheState().commandLine = commandLine; }
void SetSystemDirectory(std::optional<std::string> directory) {
  TheState().systemDirectory = std::move(directory);
}
void MakeCompareStringFail() { TheState().compareStringFails = true; }
void MakeDefaultDllDirectoriesMissing() { TheState().defaultDllDirectoriesMissing = true; }
void AddWindow(const std::string& title) { TheState().windows.push_back(title); }

const std::vector<std::string>& Calls() { return TheState().calls; }

}  // namespace fake

namespace platform {

using fake::TheState;

RegKey LocalMachine() { return reinterpret_cast<RegKey>(fake::kLocalMachineHandle); }

long RegOpenKeyA(RegKey parent, const char* subKey, RegKey* result) {
  *result = nullptr;
  fake::Key* from = fake::KeyOfHandle(parent);
  if (from == nullptr) {
    fake::Record("RegOpenKeyA (bad handle) = 6");
    return fake::kErrorInvalidHandle;
  }
  const std::string path = fake::JoinPath(from, subKey);
  long status = fake::InjectedStatus("RegOpenKeyA", path);
  fake::Key* key = nullptr;
  if (status == kErrorSuccess && from->deleted) status = fake::kErrorKeyDeleted;
  if (status == kErrorSuccess) key = fake::FindKey(from, subKey ? subKey : "", &status);
  if (status == kErrorSuccess) {
    fake::State& state = TheState();
    const std::uintptr_t handle = state.nextHandle;
    state.nextHandle += 4;
    state.handles[handle] = key;
    state.peakHandles = std::max(state.peakHandles, static_cast<int>(state.handles.size()));
    *result = reinterpret_cast<RegKey>(handle);
  }
  fake::Record("RegOpenKeyA " + fake::ShowPath(path) + " = " + std::to_string(status));
  return status;
}

long RegDeleteKeyA(RegKey parent, const char* subKey) {
  fake::Key* from = fake::KeyOfHandle(parent);
  if (from == nullptr) {
    fake::Record("RegDeleteKeyA (bad handle) = 6");
    return fake::kErrorInvalidHandle;
  }
  const std::string path = fake::JoinPath(from, subKey);
  long status = fake::InjectedStatus("RegDeleteKeyA", path);
  if (status == kErrorSuccess && from->deleted) status = fake::kErrorKeyDeleted;
  fake::Key* key = nullptr;
  if (status == kErrorSuccess) key = fake::FindKey(from, subKey ? subKey : "", &status);
  if (status == kErrorSuccess && key == TheState().localMachine.get()) {
    status = fake::kErrorAccessDenied;
  }
  if (status == kErrorSuccess && TheState().deletion == fake::Deletion::kNt &&
      !key->subkeys.empty()) {
    status = fake::kErrorAccessDenied;
  }
  if (status == kErrorSuccess) {
    auto node = key->parent->subkeys.find(key->name);
    fake::MarkDeleted(key);
    TheState().deletedKeys.push_back(std::move(node->second));
    key->parent->subkeys.erase(node);
  }
  fake::Record("RegDeleteKeyA " + fake::ShowPath(path) + " = " + std::to_string(status));
  return status;
}

long RegSetValueExA(RegKey key, const char* valueName, std::uint32_t type,
                    const unsigned char* data, std::uint32_t dataSize) {
  fake::Key* target = fake::KeyOfHandle(key);
  if (target == nullptr) {
    fake::Record("RegSetValueExA (bad handle) = 6");
    return fake::kErrorInvalidHandle;
  }
  const std::string name = valueName == nullptr ? "" : valueName;
  long status = fake::InjectedStatus("RegSetValueExA", target->path);
  if (status == kErrorSuccess && target->deleted) status = fake::kErrorKeyDeleted;
  if (status == kErrorSuccess) {
    fake::Value value;
    value.type = type;
    if (data != nullptr) value.data.assign(reinterpret_cast<const char*>(data), dataSize);
    target->values[name] = value;
  }
  fake::Record("RegSetValueExA " + fake::ShowPath(target->path) + " " +
               (name.empty() ? "@" : name) + " type " + std::to_string(type) + ", " +
               std::to_string(dataSize) + " bytes" + (data == nullptr ? " from null" : "") + " = " +
               std::to_string(status));
  return status;
}

long RegCloseKey(RegKey key) {
  const auto raw = reinterpret_cast<std::uintptr_t>(key);
  if (raw == fake::kLocalMachineHandle) return kErrorSuccess;
  const auto found = TheState().handles.find(raw);
  if (found == TheState().handles.end()) {
    ++TheState().badCloses;
    fake::Record("RegCloseKey (bad handle) = 6");
    return fake::kErrorInvalidHandle;
  }
  fake::Record("RegCloseKey " + fake::ShowPath(found->second->path) + " = 0");
  TheState().handles.erase(found);
  return kErrorSuccess;
}

void SetErrorMode(unsigned mode) { fake::Record("SetErrorMode " + std::to_string(mode)); }

bool SetDefaultDllDirectories(std::uint32_t directoryFlags) {
  const bool available = !TheState().defaultDllDirectoriesMissing;
  fake::Record("SetDefaultDllDirectories " + std::to_string(directoryFlags) +
               (available ? " = true" : " = false"));
  return available;
}

bool SetDllDirectoryA(const char* path) {
  fake::Record("SetDllDirectoryA " + fake::Quote(path));
  return true;
}

long CoInitializeEx(std::uint32_t flags) {
  fake::Record("CoInitializeEx " + std::to_string(flags));
  return 0;
}

void MessageBeep(unsigned type) { fake::Record("MessageBeep " + std::to_string(type)); }

Window FindWindowA(const char* className, const char* windowName) {
  fake::Record("FindWindowA " + fake::Quote(className) + " " + fake::Quote(windowName));
  const auto& windows = TheState().windows;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (className == nullptr && windowName != nullptr &&
        fake::Upper(windows[i]) == fake::Upper(windowName)) {
      return reinterpret_cast<Window>(static_cast<std::uintptr_t>(0x100 + i));
    }
  }
  return nullptr;
}

void SendMessageTimeoutA(Window window, unsigned message, std::uintptr_t wParam,
                         std::intptr_t lParam, unsigned flags, unsigned timeoutMs) {
  const auto index = reinterpret_cast<std::uintptr_t>(window) - 0x100;
  const std::string title = index < TheState().windows.size()
                                ? fake::Quote(TheState().windows[index].c_str())
                                : "(bad window)";
  fake::Record("SendMessageTimeoutA " + title + " " + std::to_string(message) + " " +
               std::to_string(wParam) + " " + std::to_string(lParam) + " " + std::to_string(flags) +
               " " + std::to_string(timeoutMs));
}

void ShellExecuteA(Window owner, const char* verb, const char* file, const char* parameters,
                   const char* directory, int showCommand) {
  fake::Record(std::string("ShellExecuteA ") + (owner == nullptr ? "null" : "(window)") + " " +
               fake::Quote(verb) + " " + fake::Quote(file) + " " + fake::Quote(parameters) + " " +
               fake::Quote(directory) + " " + std::to_string(showCommand));
}

const char* GetCommandLineA() { return TheState().commandLine.c_str(); }

int CompareStringA(std::uint32_t locale, std::uint32_t flags, const char* string1, int length1,
                   const char* string2, int length2) {
  fake::Record("CompareStringA " + std::to_string(locale) + " " + std::to_string(flags) + " " +
               std::to_string(length1) + " " + std::to_string(length2));
  if (TheState().compareStringFails) return 0;
  const std::string a = length1 < 0 ? std::string(string1) : std::string(string1, length1);
  const std::string b = length2 < 0 ? std::string(string2) : std::string(string2, length2);
  const int order = a.compare(b);
  return order < 0 ? 1 : order == 0 ? kCstrEqual : 3;
}

unsigned GetSystemDirectoryA(char* buffer, unsigned size) {
  const auto& directory = TheState().systemDirectory;
  if (!directory) return 0;
  const auto length = static_cast<unsigned>(directory->size());
  if (size <= length) return length + 1;
  std::copy(directory->begin(), directory->end(), buffer);
  buffer[length] = '\0';
  return length;
}

}  // namespace platform
