#pragma once

#include <cstdint>
#include <string>

#include "host/exceptions.h"
#include "host/export.h"

namespace kcImageNormalizerDefs {

// A set of normalization methods. Training takes any combination; running
// takes exactly one flag or eIdentity.
enum Method : std::uint32_t {
  eIdentity = 0,
  eMatchHistogram = 1,
  eMatchMeanAndStddev = 2,
  eMatchHistogramTails = 4,
  eLinearlyFitGrayValues = 8,
  eLocalCorrection = 16,
  eLocalCorrectionEnhanced = 32,
};

constexpr std::uint32_t kKnownMethods = 63;
constexpr std::uint32_t kGlobalMethods = 7;

constexpr Method operator|(Method a, Method b) {
  return static_cast<Method>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr Method operator&(Method a, Method b) {
  return static_cast<Method>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}

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
