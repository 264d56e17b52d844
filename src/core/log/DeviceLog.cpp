// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnSaveAs() {}

void COrloDlg::OnDeviceLine() {}

void COrloDlg::OnLogStart() {}

void COrloDlg::StampStartTime() {}

}  // namespace orlo
