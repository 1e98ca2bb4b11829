#pragma once

#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <qcoro/qcorotask.h>

#include "actions/ActionBarPhase.h"
#include "inventory/BackgroundItem.h"

class AppModel;
class QVBoxLayout;

// The push button of the two destructive confirmations: white medium-weight
// label, 14 by 6 points of padding, on a red capsule drawn at 70 % opacity
// while pressed.
class SolidRedButton : public QPushButton {
    Q_OBJECT

public:
    explicit SolidRedButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    static QColor red();

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The strip under an item's details through which the user acts on it: the
// buttons the item offers, the confirmation with its consequences and
// warnings, progress, the survivors of a stop, and the result.
class ActionBar : public QWidget {
    Q_OBJECT

public:
    ActionBar(AppModel* model, QWidget* parent = nullptr);

    // The item shown; the bar returns to its button row when the id changes.
    void setItem(const BackgroundItem& item);
    const BackgroundItem& item() const { return m_item; }
    const ActionBarPhase& phase() const { return m_machine.phase(); }

Q_SIGNALS:
    void phaseChanged();

private:
    struct View {
        ActionBarPhase phase;
        ActionOffer offer;
        QString description;
        QStringList warnings;
        QString confirmLabel;
        QString stillRunning;

        bool operator==(const View&) const = default;
    };

    View viewOf() const;
    void render();
    QWidget* idleRow(const ActionOffer& offer);
    QWidget* confirmPanel(const View& view);
    QWidget* workingRow(const QString& text);
    QWidget* stillRunningPanel(const View& view);
    QWidget* messageRow(const ActionBarPhase& phase);
    void copyCommand();

    // Starts an operation: the phase must allow it.
    QCoro::Task<> run(ItemAction action);

    QPointer<AppModel> m_model;
    BackgroundItem m_item;
    ActionBarMachine m_machine;
    QVBoxLayout* m_layout = nullptr;
    QPointer<QWidget> m_content;
    std::optional<View> m_shown;
};
