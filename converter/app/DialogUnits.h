#pragma once
// The windows are laid out in dialog units, the measure of the classic 8-point dialog
// font: a quarter of its average character width (6 pixels) across and an eighth of its
// height (13 pixels) down. Qt scales these device-independent pixels on dense screens.

namespace saltmark {

constexpr int DluX(int units) { return (units * 6 + 2) / 4; }
constexpr int DluY(int units) { return (units * 13 + 4) / 8; }

}  // namespace saltmark
