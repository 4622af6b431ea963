#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "host/export.h"

class kcArchive;
class kc_PelBuffer;

// Base of every object that travels polymorphically through an archive.
class IMGNORM_API kcPersistent {
 public:
  virtual ~kcPersistent();

  // Visited marks of the current archive: an object (address and size) is
  // transferred once per archive.
  static bool haveVisited(kcArchive& ar, const void* address, std::size_t size);
  static void setVisited(kcArchive& ar, const void* address, std::size_t size);

 protected:
  kcPersistent() = default;
  kcPersistent(const kcPersistent&) = default;
  kcPersistent& operator=(const kcPersistent&) = default;

  virtual void dispatchSerialize(kcArchive& ar) = 0;
  virtual void reInit() {}
  virtual bool loadSimple(kcArchive&) { return false; }

  friend class kcArchive;
};

// Registers a class for polymorphic loading: the archive finds the factory
// by the class's persisted type name (its demangled C++ name).
class IMGNORM_API kc_Instantiator {
 public:
  using Factory = kcPersistent* (*)();
  kc_Instantiator(const std::type_info& type, Factory make);
  kc_Instantiator(const kc_Instantiator&) = delete;
  kc_Instantiator& operator=(const kc_Instantiator&) = delete;

  // The persisted type name of a registered class, empty when unregistered.
  static std::string typeName(const std::type_info& type);
  static Factory factory(const std::string& typeName);
};

// A byte archive walked in one direction: storing appends to an in-memory
// byte vector, loading reads from one. The byte format is described in
// docs/archive-format.md. Every read is bounds-checked; a truncated or
// corrupt stream throws kcArchive::Error.
class IMGNORM_API kcArchive {
 public:
  class Error;
  class UnknownVersion;

  kcArchive();                                           // storing
  explicit kcArchive(std::vector<unsigned char> bytes);  // loading
  kcArchive(const kcArchive&) = delete;
  kcArchive& operator=(const kcArchive&) = delete;
  ~kcArchive();

  bool isLoading() const { return loading_; }
  bool isStoring() const { return !loading_; }
  const std::vector<unsigned char>& bytes() const { return bytes_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }
  bool atEnd() const { return remaining() == 0; }

  void writeBytes(const void* data, std::size_t n);
  void readBytes(void* data, std::size_t n);
  // Refuses a count of items of itemSize bytes that the rest of the stream
  // cannot hold, before anything is allocated for them.
  void checkAvailable(unsigned long long count, std::size_t itemSize) const;

  // Polymorphic objects: the type name, then the object's own fields.
  void storeObject(kcPersistent& object);
  std::unique_ptr<kcPersistent> loadObject();

  // Files: the whole archive is read or written at once. Reading refuses
  // (Error) what is not a regular file, such as a device or a pipe that
  // would never end or never start, and a file of more than maxBytes bytes,
  // before anything is read; it checks kcAttention between blocks.
  void writeFile(const std::string& path) const;
  static std::vector<unsigned char> readFile(
      const std::string& path, std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

 private:
  friend class kcPersistent;
  std::vector<unsigned char> bytes_;
  std::size_t pos_ = 0;
  bool loading_ = false;
  std::set<std::pair<const void*, std::size_t>> visited_;
};

// The walk operators store v when the archive is storing and load it when
// loading, so one function describes both directions of a type. Loading past
// the end or a malformed value throws kcArchive::Error; a pel buffer loads
// unbound when it was stored unbound.
IMGNORM_API kcArchive& operator||(kcArchive& ar, unsigned char& v);
IMGNORM_API kcArchive& operator||(kcArchive& ar, bool& v);
IMGNORM_API kcArchive& operator||(kcArchive& ar, long& v);
IMGNORM_API kcArchive& operator||(kcArchive& ar, unsigned long& v);
IMGNORM_API kcArchive& operator||(kcArchive& ar, double& v);
IMGNORM_API kcArchive& operator||(kcArchive& ar, std::wstring& v);
IMGNORM_API kcArchive& operator||(kcArchive& ar, kc_PelBuffer& v);
// One-way forms of the walk operator for unsigned long.
IMGNORM_API kcArchive& operator<<(kcArchive& ar, unsigned long v);
IMGNORM_API kcArchive& operator>>(kcArchive& ar, unsigned long& v);
