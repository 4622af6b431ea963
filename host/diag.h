#pragma once

#include <string>
#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// One diagnostic record: a text or an image, with the recorder's level at
// the time it was added.
struct kcDiagRecord {
  enum Kind { eText, eImage };
  Kind kind = eText;
  std::wstring name;
  long level = 0;
  std::wstring text;
  kcPelBuffer_const<unsigned char> image;  // unbound when an unbound image was recorded
};

// In-memory diagnostics recorder: keeps every record, in order.
class IMGNORM_API kcDiagObject {
 public:
  // categories: the record categories this recorder accepts (all by default).
  explicit kcDiagObject(unsigned long categories = ~0UL) : categories_(categories) {}

  // A record of a category is made when the caller's flags ask for it and
  // the recorder accepts it.
  bool shouldRecord(unsigned long flags, unsigned long category) const {
    return (flags & category & categories_) != 0;
  }
  long level() const { return level_; }
  void level(long l) { level_ = l; }

  const std::vector<kcDiagRecord>& records() const { return records_; }
  void clear() { records_.clear(); }
  void add(kcDiagRecord record) { records_.push_back(std::move(record)); }

 private:
  unsigned long categories_;
  long level_ = 0;
  std::vector<kcDiagRecord> records_;
};

// Adds a text record named name at the recorder's level; a null recorder
// records nothing.
IMGNORM_API void kf_AddText(kcDiagObject* recorder, const std::wstring& text,
                            const std::wstring& name);
// copy true: the record keeps a private copy of the pels; false: it shares
// the image's storage.
IMGNORM_API void kf_AddImage(kcDiagObject* recorder, const kcPelBuffer_const<unsigned char>& image,
                             const std::wstring& name, bool copy);
