#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QString>

class QKeySequence;
class QLabel;
class QPalette;
class QWidget;

// Text sizes, colours and symbol pictures the detail and settings screens and
// the action bar share.
namespace ScreenStyle {

QFont callout(const QFont& base);
QFont caption(const QFont& base);
QFont smallCaption(const QFont& base);
QFont title3(const QFont& base);
QFont headline(const QFont& base);
QFont monospacedCaption(const QFont& base);

QColor secondary(const QPalette& palette);
QColor orange(const QPalette& palette);
QColor red(const QPalette& palette);

// The themed picture for a symbol identifier, null when the theme lacks it.
QIcon symbol(const QString& name);

// A label showing `symbol` at `points`, painted in `color`.
QLabel* symbolLabel(const QString& name, const QColor& color, int points, QWidget* parent);

// A label in the secondary colour.
QLabel* secondaryLabel(const QString& text, const QFont& font, QWidget* parent);

// A symbol beside wrapped text: the warning, note and message lines.
QWidget* symbolLine(const QString& symbolName, const QColor& symbolColor, const QString& text,
                    const QFont& font, QWidget* parent, const QString& textObjectName = {});

// A thin line between sections.
QFrame* divider(QWidget* parent);

// "Refresh (Ctrl+R)": a control's label with its shortcut, the host's command
// modifier before `keys` (the rest of the shortcut).
QString shortcutHint(const QString& label, const QKeySequence& keys);

} // namespace ScreenStyle
