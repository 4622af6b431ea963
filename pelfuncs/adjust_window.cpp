#include "pelfuncs/adjust_window.h"

void kf_AdjustWindow(kcPelBuffer<unsigned char>& buffer, const kcPelRect& rectangle) {
  bool reusable = false;
  if (buffer.isBound()) {
    buffer.setEntire();
    reusable = buffer.width() >= rectangle.width() && buffer.height() >= rectangle.height();
  }
  if (!reusable) {
    buffer = kcPelBuffer<unsigned char>(rectangle, 32);
    return;
  }
  buffer.offset(rectangle.origin());
  buffer.window(rectangle, false);
}
