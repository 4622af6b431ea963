#include "host/diag.h"

#include "host/pel_ops.h"

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
  if (image.isBound()) r.image = copy ? kfPelCopy(image) : image;
  recorder->add(std::move(r));
}
