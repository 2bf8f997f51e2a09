#include "platform/file_version.h"

#ifdef _WIN32
#include <windows.h>

#include <vector>
#else
#include <elf.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>
#endif

namespace tovra::platform {

#ifdef _WIN32

std::uint64_t ReadProductVersion(const std::filesystem::path& path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) {
    return 0;
  }
  std::vector<unsigned char> buffer(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, buffer.data())) {
    return 0;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
      fixed == nullptr || fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    return 0;
  }
  return (std::uint64_t{fixed->dwProductVersionMS} << 32) + fixed->dwProductVersionLS;
}

std::uint64_t GetProductVersion() {
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) {
      return 0;
    }
    if (length < name.size()) {
      return ReadProductVersion(std::filesystem::path(std::wstring(name.data(), length)));
    }
    name.resize(name.size() * 2);
  }
}

#else

namespace {

// The note the build links in (cmake/ProductVersion.cmake): owner "TOVRA", type 1, and a
// descriptor of four 16-bit numbers, major first.
constexpr char kNoteOwner[] = "TOVRA";
constexpr std::uint32_t kNoteType = 1;
constexpr std::size_t kMaxNoteSection = 1 << 20;  // notes are tiny; refuse absurd sizes

class ElfFile {
 public:
  explicit ElfFile(const std::filesystem::path& path) : in_(path, std::ios::binary) {}

  bool Read(std::uint64_t offset, void* out, std::size_t size) {
    if (!in_) {
      return false;
    }
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return in_.gcount() == static_cast<std::streamsize>(size);
  }

 private:
  std::ifstream in_;
};

struct NoteSection {
  std::uint64_t offset;
  std::uint64_t size;
};

template <typename Ehdr, typename Shdr>
std::vector<NoteSection> NoteSections(ElfFile& file) {
  Ehdr header;
  std::vector<NoteSection> notes;
  if (!file.Read(0, &header, sizeof header) || header.e_shentsize != sizeof(Shdr)) {
    return notes;
  }
  for (std::uint64_t i = 0; i < header.e_shnum; ++i) {
    Shdr section;
    if (!file.Read(header.e_shoff + i * sizeof(Shdr), &section, sizeof section)) {
      break;
    }
    if (section.sh_type == SHT_NOTE && section.sh_size <= kMaxNoteSection) {
      notes.push_back({section.sh_offset, section.sh_size});
    }
  }
  return notes;
}

std::optional<std::uint64_t> VersionInNotes(const std::vector<unsigned char>& data) {
  auto align4 = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
  std::size_t pos = 0;
  while (data.size() - pos >= 12) {
    std::uint32_t name_size, desc_size, type;
    std::memcpy(&name_size, &data[pos], 4);
    std::memcpy(&desc_size, &data[pos + 4], 4);
    std::memcpy(&type, &data[pos + 8], 4);
    pos += 12;
    const std::size_t name_at = pos;
    if (name_size > data.size() - pos || align4(name_size) > data.size() - pos) {
      return std::nullopt;
    }
    pos += align4(name_size);
    const std::size_t desc_at = pos;
    if (desc_size > data.size() - pos) {
      return std::nullopt;
    }
    pos += std::min(align4(desc_size), data.size() - pos);
    if (type == kNoteType && name_size == sizeof kNoteOwner &&
        std::memcmp(&data[name_at], kNoteOwner, sizeof kNoteOwner) == 0 && desc_size == 8) {
      std::array<std::uint16_t, 4> parts;
      std::memcpy(parts.data(), &data[desc_at], 8);
      return (std::uint64_t{parts[0]} << 48) | (std::uint64_t{parts[1]} << 32) |
             (std::uint64_t{parts[2]} << 16) | parts[3];
    }
  }
  return std::nullopt;
}

}  // namespace

std::uint64_t ReadProductVersion(const std::filesystem::path& path) {
  ElfFile file(path);
  unsigned char ident[EI_NIDENT];
  if (!file.Read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    return 0;
  }
  // Only files of this machine's byte order are ours to read.
  const unsigned char native_order =
      std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (ident[EI_DATA] != native_order) {
    return 0;
  }
  std::vector<NoteSection> sections;
  if (ident[EI_CLASS] == ELFCLASS64) {
    sections = NoteSections<Elf64_Ehdr, Elf64_Shdr>(file);
  } else if (ident[EI_CLASS] == ELFCLASS32) {
    sections = NoteSections<Elf32_Ehdr, Elf32_Shdr>(file);
  }
  for (const NoteSection& section : sections) {
    std::vector<unsigned char> data(section.size);
    if (file.Read(section.offset, data.data(), data.size())) {
      if (auto version = VersionInNotes(data)) {
        return *version;
      }
    }
  }
  return 0;
}

std::uint64_t GetProductVersion() { return ReadProductVersion("/proc/self/exe"); }

#endif

}  // namespace tovra::platform
