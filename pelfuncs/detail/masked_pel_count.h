#pragma once

// Counting kernels of kf_MaskedPelHistogram over height rows of width pels;
// strides are in pels. Each adds its counts to the 256 bins of histogram.
// Both give the same counts; the narrow one suits rows too short to
// amortize the wide one's setup.
void kfCountMaskedPelsNarrow(const unsigned char* image, long imageStride,
                             const unsigned char* mask, long maskStride, long width, long height,
                             unsigned long* histogram);
void kfCountMaskedPelsWide(const unsigned char* image, long imageStride, const unsigned char* mask,
                           long maskStride, long width, long height, unsigned long* histogram);
