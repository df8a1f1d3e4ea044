#pragma once

#include <QDialog>

#include "WindowDrag.h"

class DecisionLog;
class QListWidget;
class QPushButton;
class titleWidget;

// The "Tracking log" window: the tracking's decisions, newest first, one line each ("why did
// the camera switch, or not"), kept current while it is open. Lines can be selected and
// copied (Ctrl+C or "Copy"; "Copy" without a selection copies them all).
//
// Interface thread only.
class DecisionLogWindow : public QDialog {
    Q_OBJECT

public:
    explicit DecisionLogWindow(DecisionLog* log, QWidget* parent = nullptr);

    QListWidget* list() const { return _list; }
    // The text "Copy" puts on the clipboard now.
    QString copyText() const;

public slots:
    void slot_Copy();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void reload();
    void prependNewest();

    DecisionLog* _log;  // not owned; outlives the window
    titleWidget* _titleBar = nullptr;
    QListWidget* _list = nullptr;
    QPushButton* _copyButton = nullptr;
    WindowDrag _drag;
};
