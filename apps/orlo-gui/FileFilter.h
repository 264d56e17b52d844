// The file dialogs' filter and default-extension arguments, as the dialog passes them, turned
// into Qt's syntax.
#pragma once

#include <QString>
#include <QStringList>
#include <string_view>

namespace orlo::gui {

// "desc|pat1;pat2|desc|pat|" -> one Qt name filter per pair: "desc (pat1 pat2)". Blanks around
// each piece are dropped; "*.*" stands for every file, as it does in the original dialogs, and
// becomes "*". A description without its pattern part is left out. The file dialog is told to
// hide the appended "(pat1 pat2)", so it shows each description as the dialog wrote it.
QStringList QtNameFilters(std::string_view filter);

// The default-extension argument: only its first three characters are appended to a name typed
// without an extension ("bin file" appends "bin"); a leading dot is ignored.
QString DefaultSuffix(std::string_view defaultExt);

}  // namespace orlo::gui
