#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "imgnorm/color_normalizer.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/planar_normalizer.h"

namespace imgnorm_py {

// What a Normalizer holds: a gray tool, or a colour tool once it is
// trained on colour images, as the library's planar layer.
struct Tools {
  kcPlanarNormalizer tool;

  // The parameters and images common to every gray tool in use.
  const kcImageNormalizer& configuration() const { return tool.grayTool(); }
  // Null until the tool is trained on colour images.
  const kcColorImageNormalizer* color() const { return tool.colourTool(); }
  bool operator==(const Tools& other) const {
    if ((color() == nullptr) != (other.color() == nullptr)) return false;
    return color() ? *color() == *other.color() : configuration() == other.configuration();
  }
};

// The tools behind a lock. The GIL is released while the library works, so
// Python threads may reach one tool at once: runs share it, changes wait for
// them. Changes are made on a copy that replaces the tools only when they
// succeed, so a failed call leaves the tool as it was. Copies are cheap:
// the images share their pels, which nothing changes in place.
class Normalizer {
 public:
  explicit Normalizer(Tools tools) : tools_(std::move(tools)) {}
  Normalizer(const Normalizer& other) : tools_(other.snapshot()) {}
  Normalizer& operator=(const Normalizer&) = delete;

  Tools snapshot() const {
    std::shared_lock lock(mutex_);
    return tools_;
  }
  void replace(const Tools& tools) {
    std::unique_lock lock(mutex_);
    tools_ = tools;
  }
  template <class F>
  auto read(F&& f) const {
    std::shared_lock lock(mutex_);
    return f(tools_);
  }
  // f over the tools of a gray tool; ValueError for one trained on colour
  // images.
  template <class F>
  auto readGrayTools(F&& f) const {
    return read([&](const Tools& tools) {
      if (tools.color())
        throw pybind11::value_error(
            "the tool was trained on colour images: pass channel_axis with a colour image");
      return f(tools);
    });
  }
  // The same over the gray tool itself.
  template <class F>
  auto readGray(F&& f) const {
    return readGrayTools([&](const Tools& tools) { return f(tools.configuration()); });
  }

 private:
  mutable std::shared_mutex mutex_;
  Tools tools_;
};

}  // namespace imgnorm_py
