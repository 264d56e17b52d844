// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnBmp1Bit() {}

void COrloDlg::OnBmp4Bit() {}

void COrloDlg::ConvertBitmap(const BitmapVariant&) {}

}  // namespace orlo
