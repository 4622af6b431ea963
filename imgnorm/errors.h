#pragma once

#include <string>

#include "host/exceptions.h"
#include "host/export.h"

namespace kcImageNormalizerDefs {

// Abstract base of the tool's exceptions. Each concrete class has a fixed
// error number, persists through a host archive and is registered for
// polymorphic loading when the library is loaded.
class IMGNORM_API Errors : public kcExceptionWithString {
 public:
  Errors(const Errors& other);
  Errors& operator=(const Errors& other);
  ~Errors() override;

 protected:
  explicit Errors(const std::wstring& message = std::wstring());
  void dispatchSerialize(kcArchive& ar) override;
  void serialize_(kcArchive& ar, unsigned char version);
};

#define KC_IMAGE_NORMALIZER_ERROR(NAME)                    \
  class IMGNORM_API NAME final : public Errors {           \
   public:                                                 \
    NAME(const std::wstring& message = std::wstring());    \
    NAME(const NAME& other);                               \
    NAME& operator=(const NAME& other);                    \
    ~NAME() override;                                      \
    long errorNumber() const override;                     \
    void suicideAndRethrow() override;                     \
                                                           \
   protected:                                              \
    void dispatchSerialize(kcArchive& ar) override;        \
    void serialize_(kcArchive& ar, unsigned char version); \
                                                           \
   private:                                                \
    static kcPersistent* make();                           \
    static kc_Instantiator sExemplar;                      \
  };

KC_IMAGE_NORMALIZER_ERROR(BadImage)
KC_IMAGE_NORMALIZER_ERROR(BadParams)
KC_IMAGE_NORMALIZER_ERROR(NotTrained)
KC_IMAGE_NORMALIZER_ERROR(CanNotTrain)
KC_IMAGE_NORMALIZER_ERROR(CanNotRun)
KC_IMAGE_NORMALIZER_ERROR(NotImplemented)

#undef KC_IMAGE_NORMALIZER_ERROR

}  // namespace kcImageNormalizerDefs
