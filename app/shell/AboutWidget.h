#pragma once

#include <QDialog>

#include "WindowDrag.h"

class QLabel;
class titleWidget;

// The about dialog: product name and version, and where to get help.
class AboutWidget : public QDialog {
    Q_OBJECT

public:
    explicit AboutWidget(QWidget* parent = nullptr);

    // The support page the link label opens in the system browser.
    static QString supportUrl();

public slots:
    void slot_MinButtonClicked();
    void slot_CloseButtonClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    titleWidget* _titleBar = nullptr;
    WindowDrag _drag;
};
