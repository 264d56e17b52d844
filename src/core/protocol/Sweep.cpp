// PLACEHOLDER: not yet implemented.
#include "app/OrloDlg.h"

namespace orlo {

void COrloDlg::OnSweepMaxPlus100() {}

void COrloDlg::OnSweepMaxPlus10() {}

void COrloDlg::OnSweepMaxMinus100() {}

void COrloDlg::OnSweepMaxMinus10() {}

void COrloDlg::OnSweepMinPlus100() {}

void COrloDlg::OnSweepMinPlus10() {}

void COrloDlg::OnSweepMinMinus100() {}

void COrloDlg::OnSweepMinMinus10() {}

void COrloDlg::OnSweepRead() {}

void COrloDlg::SendSweepQuery() {}

void COrloDlg::OnSweepReport() {}

}  // namespace orlo
