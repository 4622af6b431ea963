// Links only the shared library: the error classes must be registered by
// loading it.
#include <cstdio>

#include "imgnorm/errors.h"

int main() {
  const char* names[] = {"kcImageNormalizerDefs::BadImage",    "kcImageNormalizerDefs::BadParams",
                         "kcImageNormalizerDefs::NotTrained",  "kcImageNormalizerDefs::CanNotTrain",
                         "kcImageNormalizerDefs::CanNotRun",   "kcImageNormalizerDefs::NotImplemented"};
  for (const char* name : names) {
    if (!kc_Instantiator::factory(name)) {
      std::printf("not registered: %s\n", name);
      return 1;
    }
  }
  std::printf("all six error classes registered\n");
  return 0;
}
