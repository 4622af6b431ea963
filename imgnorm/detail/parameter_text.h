#pragma once

#include <string>

#include "host/geometry.h"
#include "host/str.h"

// Texts of the parameter records that train and run add to a recorder.
namespace imgnorm {

// "( x , y )" with doubles, as the training record writes every pair.
inline std::wstring trainingPairText(const kcVector<2>& v) {
  return L"( " + kfStr(v.x()) + L" , " + kfStr(v.y()) + L" )";
}

// "(x, y)" with longs, as the run-time record writes the integer pairs.
inline std::wstring runningPairText(const kcPair<long>& p) {
  return L"(" + kfStr(p.x()) + L", " + kfStr(p.y()) + L")";
}

}  // namespace imgnorm
