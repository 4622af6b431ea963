#include "host/archive.h"

#include <cxxabi.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <typeindex>

#include "host/attention.h"
#include "host/exceptions.h"
#include "host/str.h"

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, kc_Instantiator::Factory> byName;
  std::map<std::type_index, std::string> byType;
};

Registry& registry() {
  static Registry r;
  return r;
}

std::string demangle(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : type.name();
  std::free(name);
  return result;
}

constexpr std::size_t kMaxTypeNameLength = 256;

[[noreturn]] void corrupt(const std::wstring& what) {
  throw kcArchive::Error(L"Corrupt archive: " + what + L".");
}

template <class U>
void putLittleEndian(kcArchive& ar, U v) {
  unsigned char b[sizeof(U)];
  for (std::size_t i = 0; i < sizeof(U); ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  ar.writeBytes(b, sizeof b);
}

template <class U>
U getLittleEndian(kcArchive& ar) {
  unsigned char b[sizeof(U)];
  ar.readBytes(b, sizeof b);
  U v = 0;
  for (std::size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(static_cast<U>(b[i]) << (8 * i));
  return v;
}

template <class U>
kcArchive& walk(kcArchive& ar, U& v) {
  if (ar.isStoring())
    putLittleEndian<U>(ar, v);
  else
    v = getLittleEndian<U>(ar);
  return ar;
}

}  // namespace

kcPersistent::~kcPersistent() = default;

bool kcPersistent::haveVisited(kcArchive& ar, const void* address, std::size_t size) {
  return ar.visited_.count({address, size}) != 0;
}

void kcPersistent::setVisited(kcArchive& ar, const void* address, std::size_t size) {
  ar.visited_.insert({address, size});
}

kc_Instantiator::kc_Instantiator(const std::type_info& type, Factory make) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  const std::string name = demangle(type);
  r.byName[name] = make;
  r.byType[std::type_index(type)] = name;
}

std::string kc_Instantiator::typeName(const std::type_info& type) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  const auto it = r.byType.find(std::type_index(type));
  return it == r.byType.end() ? std::string() : it->second;
}

kc_Instantiator::Factory kc_Instantiator::factory(const std::string& typeName) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  const auto it = r.byName.find(typeName);
  return it == r.byName.end() ? nullptr : it->second;
}

kcArchive::kcArchive() = default;
kcArchive::kcArchive(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)), loading_(true) {}
kcArchive::~kcArchive() = default;

void kcArchive::writeBytes(const void* data, std::size_t n) {
  if (loading_) throw kcHostError(L"Cannot write to an archive that is loading.");
  const auto* p = static_cast<const unsigned char*>(data);
  bytes_.insert(bytes_.end(), p, p + n);
}

void kcArchive::readBytes(void* data, std::size_t n) {
  if (!loading_) throw kcHostError(L"Cannot read from an archive that is storing.");
  if (n > remaining())
    throw Error(L"Truncated archive: " + kfStr(static_cast<long>(n)) + L" bytes needed at offset " +
                kfStr(static_cast<long>(pos_)) + L", " + kfStr(static_cast<long>(remaining())) +
                L" left.");
  if (n) std::memcpy(data, bytes_.data() + pos_, n);
  pos_ += n;
}

void kcArchive::checkAvailable(unsigned long long count, std::size_t itemSize) const {
  if (itemSize != 0 && count > remaining() / itemSize)
    throw Error(L"Truncated archive: a stored count of " + std::to_wstring(count) +
                L" items exceeds the " + kfStr(static_cast<long>(remaining())) + L" bytes left.");
}

void kcArchive::storeObject(kcPersistent& object) {
  const std::string name = kc_Instantiator::typeName(typeid(object));
  if (name.empty())
    throw kcHostError(L"Cannot store an object of unregistered type " +
                      kfFromUtf8(typeid(object).name()) + L".");
  unsigned long n = name.size();
  *this << n;
  writeBytes(name.data(), name.size());
  object.dispatchSerialize(*this);
}

std::unique_ptr<kcPersistent> kcArchive::loadObject() {
  unsigned long n = 0;
  *this >> n;
  if (n == 0 || n > kMaxTypeNameLength) corrupt(L"bad type name length");
  std::string name(n, '\0');
  readBytes(name.data(), n);
  const kc_Instantiator::Factory make = kc_Instantiator::factory(name);
  if (!make) throw Error(L"Archive names an unknown type \"" + kfFromUtf8(name) + L"\".");
  std::unique_ptr<kcPersistent> object(make());
  object->dispatchSerialize(*this);
  return object;
}

void kcArchive::writeFile(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out)
    out.write(reinterpret_cast<const char*>(bytes_.data()),
              static_cast<std::streamsize>(bytes_.size()));
  if (!out) throw Error(L"Cannot write archive file \"" + kfFromUtf8(path) + L"\".");
}

std::vector<unsigned char> kcArchive::readFile(const std::string& path, std::size_t maxBytes) {
  // Reads in blocks, so that an abort is seen within one block's time.
  constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  const std::wstring name = L"archive file \"" + kfFromUtf8(path) + L"\"";
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) throw Error(L"Cannot open " + name + L".");
  if (!std::filesystem::is_regular_file(status))
    throw Error(L"Cannot read " + name + L": it is not a regular file.");
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) throw Error(L"Cannot read " + name + L".");
  if (size > maxBytes)
    throw Error(L"Cannot read " + name + L": its " + std::to_wstring(size) +
                L" bytes are more than the " + std::to_wstring(maxBytes) +
                L" allowed.");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(L"Cannot open " + name + L".");
  std::vector<unsigned char> bytes;
  for (std::size_t got = 0;; got = bytes.size()) {
    kcAttention::check();
    // A file that grows while it is read stops at the limit plus one block.
    if (got > maxBytes) throw Error(L"Cannot read " + name + L": it grew past the limit.");
    bytes.resize(got + kBlockBytes);
    in.read(reinterpret_cast<char*>(bytes.data() + got), static_cast<std::streamsize>(kBlockBytes));
    bytes.resize(got + static_cast<std::size_t>(in.gcount()));
    if (!in) break;
  }
  if (in.bad()) throw Error(L"Cannot read " + name + L".");
  return bytes;
}

kcArchive& operator||(kcArchive& ar, unsigned char& v) { return walk<std::uint8_t>(ar, v); }

// Loading never reads the target, which may be uninitialized.
kcArchive& operator||(kcArchive& ar, bool& v) {
  std::uint8_t b = ar.isStoring() && v ? 1 : 0;
  walk(ar, b);
  if (ar.isLoading()) {
    if (b > 1) corrupt(L"a bool holds " + kfStr(static_cast<int>(b)));
    v = b != 0;
  }
  return ar;
}

kcArchive& operator||(kcArchive& ar, long& v) {
  std::uint64_t u = ar.isStoring() ? static_cast<std::uint64_t>(v) : 0;
  walk(ar, u);
  v = static_cast<long>(u);
  return ar;
}

kcArchive& operator||(kcArchive& ar, unsigned long& v) {
  std::uint64_t u = ar.isStoring() ? v : 0;
  walk(ar, u);
  v = u;
  return ar;
}

kcArchive& operator||(kcArchive& ar, double& v) {
  std::uint64_t u = ar.isStoring() ? std::bit_cast<std::uint64_t>(v) : 0;
  walk(ar, u);
  v = std::bit_cast<double>(u);
  return ar;
}

kcArchive& operator||(kcArchive& ar, std::wstring& v) {
  std::uint64_t n = v.size();
  walk(ar, n);
  if (ar.isStoring()) {
    for (wchar_t c : v) putLittleEndian<std::uint32_t>(ar, static_cast<std::uint32_t>(c));
    return ar;
  }
  ar.checkAvailable(n, 4);
  std::wstring s;
  s.reserve(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint32_t c = getLittleEndian<std::uint32_t>(ar);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) corrupt(L"a text holds an invalid character");
    s += static_cast<wchar_t>(c);
  }
  v = std::move(s);
  return ar;
}

kcArchive& operator<<(kcArchive& ar, unsigned long v) { return ar || v; }
kcArchive& operator>>(kcArchive& ar, unsigned long& v) {
  if (!ar.isLoading()) throw kcHostError(L"Cannot read from an archive that is storing.");
  return ar || v;
}
