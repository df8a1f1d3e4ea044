#include "WarningMessageWidget.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "titleWidget.h"

WarningMessageWidget::WarningMessageWidget(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("WarningMessageWidget"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    resize(300, 176);
    setMinimumSize(300, 176);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("warning_frame"));
    frame->setStyleSheet(
        QStringLiteral("QFrame#warning_frame{background:#474E53;border:1px solid #51585E;}"
                       "QLabel#message_label{color:#f0f0f0;font-family:Arial;font-size:14px;border:none;}"
                       "QPushButton#done_pushButton{color:#f0f0f0;font-family:Arial;font-size:14px;"
                       "border:1px solid #8C8C8C;border-radius:2px;"
                       "background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #7A8085,stop:1 #596066);}"
                       "QPushButton#done_pushButton:hover{background:#4BBDEF;}"
                       "QPushButton#done_pushButton:pressed{background:#3A9CC8;}"));
    outer->addWidget(frame);

    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(1, 1, 1, 1);
    column->setSpacing(0);

    _titleBar = new titleWidget(frame);
    _titleBar->setMinimumWidth(0);
    _titleBar->setInfoButtonVisible(false);
    _titleBar->setMinButtonVisible(false);
    _titleBar->setTitleLabelText(QString());
    column->addWidget(_titleBar);

    auto* messageArea = new QVBoxLayout;
    messageArea->setContentsMargins(25, 40, 25, 0);
    _messageLabel = new QLabel(tr("Device cannot connect."), frame);
    _messageLabel->setObjectName(QStringLiteral("message_label"));
    _messageLabel->setWordWrap(true);
    messageArea->addWidget(_messageLabel);
    messageArea->addStretch(1);
    column->addLayout(messageArea, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 16, 16);
    buttons->addStretch(1);
    _doneButton = new QPushButton(tr("Done"), frame);
    _doneButton->setObjectName(QStringLiteral("done_pushButton"));
    _doneButton->setFixedSize(56, 24);
    buttons->addWidget(_doneButton);
    column->addLayout(buttons);

    setWindowTitle(_titleBar->titleText());
    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this,
            &WarningMessageWidget::slot_CloseDialog);
    connect(_doneButton, &QPushButton::clicked, this, &WarningMessageWidget::slot_CloseDialog);
}

void WarningMessageWidget::setMessage(const QString& message) {
    _messageLabel->setText(message);
}

QString WarningMessageWidget::message() const {
    return _messageLabel->text();
}

void WarningMessageWidget::slot_CloseDialog() {
    hide();
}

void WarningMessageWidget::mousePressEvent(QMouseEvent* event) {
    _drag.press(this, event);
    QWidget::mousePressEvent(event);
}

void WarningMessageWidget::mouseMoveEvent(QMouseEvent* event) {
    _drag.move(this, event);
    QWidget::mouseMoveEvent(event);
}

void WarningMessageWidget::mouseReleaseEvent(QMouseEvent* event) {
    _drag.release();
    QWidget::mouseReleaseEvent(event);
}
