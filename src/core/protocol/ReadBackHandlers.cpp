// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnReadApplication() {}

void COrloDlg::OnReadMap() {}

void COrloDlg::OnReadVoice() {}

void COrloDlg::OnReadUser() {}

void COrloDlg::OnCheckApplication() {}

void COrloDlg::StartReadBack(const ReadBackRow&) {}

void COrloDlg::OnReadData() {}

void COrloDlg::OnCheckData() {}

}  // namespace orlo
