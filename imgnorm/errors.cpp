#include "imgnorm/errors.h"

namespace kcImageNormalizerDefs {

Errors::Errors(const std::wstring& message) : kcExceptionWithString(message) {}
Errors::Errors(const Errors& other) = default;
Errors& Errors::operator=(const Errors& other) {
  kcExceptionWithString::operator=(other);
  return *this;
}
Errors::~Errors() = default;

void Errors::dispatchSerialize(kcArchive& ar) {
  if (haveVisited(ar, this, sizeof(*this))) return;
  unsigned char version = 0;
  ar || version;
  serialize_(ar, version);
  setVisited(ar, this, sizeof(*this));
}

void Errors::serialize_(kcArchive& ar, unsigned char version) {
  if (version != 0) throw kcArchive::UnknownVersion("kcImageNormalizerDefs::Errors", 0);
  kcExceptionWithString::dispatchSerialize(ar);
}

// The exemplars are defined in this order, which is the order of their
// registration when the library is loaded.
#define KC_DEFINE_IMAGE_NORMALIZER_ERROR(NAME, NUMBER)                                     \
  kc_Instantiator NAME::sExemplar(typeid(NAME), &NAME::make);                              \
  NAME::NAME(const std::wstring& message) : Errors(message) {}                             \
  NAME::NAME(const NAME& other) = default;                                                 \
  NAME& NAME::operator=(const NAME& other) {                                               \
    Errors::operator=(other);                                                              \
    return *this;                                                                          \
  }                                                                                        \
  NAME::~NAME() = default;                                                                 \
  long NAME::errorNumber() const { return NUMBER; }                                        \
  kcPersistent* NAME::make() { return new NAME(); }                                        \
  void NAME::suicideAndRethrow() {                                                         \
    NAME local(*this);                                                                     \
    delete this;                                                                           \
    throw local;                                                                           \
  }                                                                                        \
  void NAME::dispatchSerialize(kcArchive& ar) {                                            \
    if (haveVisited(ar, this, sizeof(*this))) return;                                      \
    unsigned char version = 0;                                                             \
    ar || version;                                                                         \
    serialize_(ar, version);                                                               \
    setVisited(ar, this, sizeof(*this));                                                   \
  }                                                                                        \
  void NAME::serialize_(kcArchive& ar, unsigned char version) {                            \
    if (version != 0) throw kcArchive::UnknownVersion("kcImageNormalizerDefs::" #NAME, 0); \
    Errors::dispatchSerialize(ar);                                                         \
  }

KC_DEFINE_IMAGE_NORMALIZER_ERROR(BadImage, 0x10007A00)
KC_DEFINE_IMAGE_NORMALIZER_ERROR(BadParams, 0x10007A01)
KC_DEFINE_IMAGE_NORMALIZER_ERROR(NotTrained, 0x10007A02)
KC_DEFINE_IMAGE_NORMALIZER_ERROR(CanNotTrain, 0x10007A03)
KC_DEFINE_IMAGE_NORMALIZER_ERROR(CanNotRun, 0x10007A04)
KC_DEFINE_IMAGE_NORMALIZER_ERROR(NotImplemented, 0x10007A0F)

}  // namespace kcImageNormalizerDefs
