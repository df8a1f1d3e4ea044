#pragma once

#include <QWidget>

#include "WindowDrag.h"

class QLabel;
class QPushButton;
class titleWidget;

// One warning with a "Done" button. A new message replaces the shown one; messages do not
// queue.
class WarningMessageWidget : public QWidget {
    Q_OBJECT

public:
    explicit WarningMessageWidget(QWidget* parent = nullptr);

    void setMessage(const QString& message);
    QString message() const;

public slots:
    void slot_CloseDialog();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    titleWidget* _titleBar = nullptr;
    QLabel* _messageLabel = nullptr;
    QPushButton* _doneButton = nullptr;
    WindowDrag _drag;
};
