#include "host/diag.h"

#include <algorithm>

namespace {

// A private copy of the image's window with its transforms.
kcPelBuffer_const<unsigned char> privateCopy(const kcPelBuffer_const<unsigned char>& image) {
  kcPelBuffer<unsigned char> copy(image.window(), 32);
  copy.copyXforms(image);
  for (long y = image.window().y(); y < image.window().bottom(); ++y) {
    const unsigned char* row = image.pointToPel(image.window().x(), y);
    std::copy(row, row + image.width(), copy.pointToPel(image.window().x(), y));
  }
  return copy;
}

}  // namespace

void kf_AddText(kcDiagObject* recorder, const std::wstring& text, const std::wstring& name) {
  if (!recorder) return;
  kcDiagRecord r;
  r.kind = kcDiagRecord::eText;
  r.name = name;
  r.level = recorder->level();
  r.text = text;
  recorder->add(std::move(r));
}

void kf_AddImage(kcDiagObject* recorder, const kcPelBuffer_const<unsigned char>& image,
                 const std::wstring& name, bool copy) {
  if (!recorder) return;
  kcDiagRecord r;
  r.kind = kcDiagRecord::eImage;
  r.name = name;
  r.level = recorder->level();
  if (image.isBound()) r.image = copy ? privateCopy(image) : image;
  recorder->add(std::move(r));
}
