// Sets up and reads back the registry below HKEY_LOCAL_MACHINE for the suite,
// through the Windows API itself.
//
//   regtool.exe load <file>   lines: "K\t<path>", "V\t<path>\t<name>\t<type>\t<hex data>",
//                             "D\t<path>" (delete the tree, if there is one)
//   regtool.exe dump <path> [32|64]
//                             prints "K\t<path>" and
//                             "V\t<path>\t<name>\t<type>\t<byte count>\t<hex data>"
//                             for the key and everything below it, in the
//                             32-bit or 64-bit registry view if one is named
//   regtool.exe product-state <product code>
//                             prints what MsiQueryProductStateA reports

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream stream(line);
  while (std::getline(stream, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.push_back("");
  return fields;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

int Load(const char* path) {
  std::ifstream input(path, std::ios::binary);
  std::string line;
  while (std::getline(input, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> fields = Split(line);
    if (fields.size() < 2) continue;
    if (fields[0] == "D") {
      RegDeleteTreeA(HKEY_LOCAL_MACHINE, fields[1].c_str());
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, fields[1].c_str());
      continue;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        fields[1].c_str(),
                        0,
                        nullptr,
                        0,
                        KEY_ALL_ACCESS,
                        nullptr,
                        &key,
                        nullptr) != ERROR_SUCCESS) {
      std::fprintf(stderr, "cannot create %s\n", fields[1].c_str());
      return 1;
    }
    if (fields[0] == "V" && fields.size() == 5) {
      const std::string data = FromHex(fields[4]);
      const LONG status = RegSetValueExA(key,
                                         fields[2].empty() ? nullptr : fields[2].c_str(),
                                         0,
                                         std::stoul(fields[3]),
                                         reinterpret_cast<const BYTE*>(data.data()),
                                         static_cast<DWORD>(data.size()));
      if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot set %s\\%s\n", fields[1].c_str(), fields[2].c_str());
        return 1;
      }
    }
    RegCloseKey(key);
  }
  return 0;
}

void Dump(HKEY key, const std::string& path, REGSAM view) {
  std::printf("K\t%s\n", path.c_str());
  for (DWORD index = 0;; ++index) {
    char name[16384];
    DWORD nameLength = sizeof name;
    DWORD type = 0;
    std::vector<BYTE> data(1 << 16);
    DWORD size = static_cast<DWORD>(data.size());
    if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS) {
      break;
    }
    std::printf("V\t%s\t%s\t%lu\t%lu\t", path.c_str(), name, type, size);
    for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
    std::printf("\n");
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameLength = sizeof name;
    if (RegEnumKeyExA(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_READ | view, &child) == ERROR_SUCCESS) {
      Dump(child, path + "\\" + name, view);
      RegCloseKey(child);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "load") return Load(argv[2]);
  if ((argc == 3 || argc == 4) && std::string(argv[1]) == "dump") {
    REGSAM view = 0;
    if (argc == 4) view = std::string(argv[3]) == "32" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
      std::printf("missing\t%s\n", argv[2]);
      return 0;
    }
    Dump(key, argv[2], view);
    RegCloseKey(key);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "product-state") {
    std::printf("%d\n", static_cast<int>(MsiQueryProductStateA(argv[2])));
    return 0;
  }
  return 2;
}
