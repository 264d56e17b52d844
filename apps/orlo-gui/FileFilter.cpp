#include "FileFilter.h"

namespace orlo::gui {

QStringList QtNameFilters(std::string_view filter) {
    const QStringList pieces =
        QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size())).split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < pieces.size(); i += 2) {
        const QString description = pieces[i].trimmed();
        if (description.isEmpty()) break;  // the closing "|" of the list
        QStringList patterns;
        for (const QString& p : pieces[i + 1].split(u';', Qt::SkipEmptyParts)) {
            const QString pattern = p.trimmed();
            if (pattern.isEmpty()) continue;
            patterns << (pattern == QStringLiteral("*.*") ? QStringLiteral("*") : pattern);
        }
        if (patterns.isEmpty()) continue;
        // Qt takes the last parenthesised group of a filter as its patterns, so the
        // description keeps its own "(*.bin)" untouched.
        filters << description + QStringLiteral(" (") + patterns.join(u' ') + u')';
    }
    return filters;
}

QString DefaultSuffix(std::string_view defaultExt) {
    QString ext = QString::fromUtf8(defaultExt.data(), static_cast<qsizetype>(defaultExt.size()));
    if (ext.startsWith(u'.')) ext.remove(0, 1);
    return ext.left(3);
}

}  // namespace orlo::gui
