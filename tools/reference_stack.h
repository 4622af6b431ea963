#pragma once

// Several reference images made into one (train --reference A B ...
// --combine mean|median): the per-pel mean, read one image at a time into
// one 32-bit sum a sample, or the median, which holds every image.

#include <functional>
#include <string>
#include <vector>

#include "deep_images.h"
#include "imgio/image_io.h"

namespace cli {

// paths read by read, in order and once each, combined sample by sample
// ("mean" or "median"); one path is read as it is. Images that differ from the first in size,
// channels or bits fail with kExitBadInput naming the file.
imgio::GrayImage combinedReference(const std::vector<std::string>& paths,
                                   const std::string& combine,
                                   const std::function<imgio::GrayImage(const std::string&)>& read);
imgio::ColorImage combinedReference(
    const std::vector<std::string>& paths, const std::string& combine,
    const std::function<imgio::ColorImage(const std::string&)>& read);
DeepImage combinedReference(const std::vector<std::string>& paths, const std::string& combine,
                            const std::function<DeepImage(const std::string&)>& read);

}  // namespace cli
