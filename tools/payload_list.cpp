#include "tools/payload_list.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <string_view>

#include "tools/resource_name.h"

namespace tools {
namespace {

namespace fs = std::filesystem;

// The regular files under `root` (links to files count), by '/'-separated path.
bool FilesUnder(const std::string& root, std::vector<std::string>* paths, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    *error = root + " is not a folder";
    return false;
  }
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) paths->push_back(it->path().lexically_relative(root).generic_string());
  }
  if (ec) {
    *error = "cannot read " + root + ": " + ec.message();
    return false;
  }
  std::sort(paths->begin(), paths->end());
  return true;
}

// True when the two files hold the same bytes; read in pieces, so release
// files of any size pass through a fixed buffer.
bool SameContent(const fs::path& a, const fs::path& b, bool* same) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(a, ec);
  if (ec) return false;
  if (fs::file_size(b, ec) != size || ec) {
    *same = false;
    return !ec;
  }
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> bufferA(1 << 16), bufferB(1 << 16);
  for (uintmax_t left = size; left != 0;) {
    const auto n = static_cast<std::streamsize>(std::min<uintmax_t>(left, bufferA.size()));
    if (!fa.read(bufferA.data(), n) || !fb.read(bufferB.data(), n)) return false;
    if (std::memcmp(bufferA.data(), bufferB.data(), static_cast<size_t>(n)) != 0) {
      *same = false;
      return true;
    }
    left -= static_cast<uintmax_t>(n);
  }
  *same = true;
  return true;
}

// A path a profile can carry and Windows can name: no character Windows
// refuses in a file name, and no ';', which would split the CMake list.
bool Nameable(const std::string& path) {
  return std::none_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 ||
           std::string_view("\\:*?\"<>|;").find(c) != std::string::npos;
  });
}

}  // namespace

bool ListPayload(const std::string& previous, const std::string& next, PayloadList* list,
                 std::string* error) {
  std::vector<std::string> before, after;
  if (!FilesUnder(previous, &before, error) || !FilesUnder(next, &after, error)) return false;
  // The previous release's paths as Windows compares them; an exact match wins
  // over one in other capitals.
  std::map<std::string, std::string> byCapitals;
  for (const std::string& p : before) byCapitals.emplace(ResourceNameCapitals(p), p);
  const std::set<std::string> exact(before.begin(), before.end());
  std::set<std::string> matched;
  std::map<std::string, std::string> lastComponents;  // in capitals, to the path that has it
  for (const std::string& p : after) {
    const auto found = byCapitals.find(ResourceNameCapitals(p));
    const std::string* old = exact.count(p) ? &p : found != byCapitals.end() ? &found->second : nullptr;
    bool same = false;
    if (old) {
      matched.insert(*old);
      if (!SameContent(fs::path(previous) / *old, fs::path(next) / p, &same)) {
        *error = "cannot read " + (fs::path(next) / p).string();
        return false;
      }
    }
    if (same) continue;
    if (!Nameable(p)) {
      *error = "'" + p + "' cannot be a payload path (a character Windows or the profile's list cannot hold)";
      return false;
    }
    const std::string name = ResourceNameCapitals(fs::path(p).filename().string());
    const auto [at, fresh] = lastComponents.emplace(name, p);
    if (!fresh) {
      *error = "'" + at->second + "' and '" + p +
               "' share the last component, which names each file's resource: rename one";
      return false;
    }
    list->changed.push_back(p);
  }
  for (const std::string& p : before) {
    if (!matched.count(p)) list->removed.push_back(p);
  }
  return true;
}

std::string PayloadLine(const std::vector<std::string>& paths) {
  std::string line = "set(UPDATER_PAYLOAD";
  for (const std::string& p : paths) {
    line += " \"";
    for (char c : p) {
      if (c == '$' || c == '"' || c == '\\') line += '\\';  // would start a variable, end or escape
      line += c;
    }
    line += '"';
  }
  return line + ")";
}

int ListPayloadFolders(const std::string& previous, const std::string& next, std::ostream& out,
                       std::ostream& err) {
  PayloadList list;
  std::string error;
  if (!ListPayload(previous, next, &list, &error)) {
    err << "payloadtool: " << error << "\n";
    return 1;
  }
  for (const std::string& p : list.removed) {
    err << "payloadtool: only " << previous << " has " << p << ": the update leaves it as it is\n";
  }
  if (list.changed.empty()) err << "payloadtool: no file changed or is new\n";
  out << PayloadLine(list.changed) << "\n";
  return 0;
}

}  // namespace tools
