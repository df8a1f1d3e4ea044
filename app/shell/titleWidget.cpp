#include "titleWidget.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppResources.h"

titleWidget::titleWidget(QWidget* parent) : QWidget(parent) {
    ensureAppResources();
    setObjectName(QStringLiteral("titleWidget"));
    resize(720, 40);
    setMinimumSize(720, 40);
    setFixedHeight(40);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    _frame = new QFrame(this);
    _frame->setObjectName(QStringLiteral("title_frame"));
    _frame->setStyleSheet(QStringLiteral(
        "QFrame#title_frame{background:#2D3336;border:0px solid #8C8C8C;}"
        "QPushButton{border:none;color:#f0f0f0;font-family:Arial;font-size:14px;}"
        "QPushButton:hover{background:rgba(77,191,239,255);color:white;}"
        "QPushButton#min_pushButton{border-image:url(:/device/icons/icon/min_normal.png);}"
        "QPushButton#min_pushButton:hover{border-image:url(:/device/icons/icon/min_hover.png);}"
        "QPushButton#min_pushButton:pressed{border-image:url(:/device/icons/icon/min_pressed.png);}"
        "QPushButton#close_pushButton{border-image:url(:/device/icons/icon/close_normal.png);}"
        "QPushButton#close_pushButton:hover{border-image:url(:/device/icons/icon/close_hover.png);}"
        "QPushButton#close_pushButton:pressed{border-image:url(:/device/icons/icon/close_pressed.png);}"));
    outer->addWidget(_frame);

    auto* row = new QHBoxLayout(_frame);
    row->setContentsMargins(8, 0, 0, 0);
    row->setSpacing(8);

    _iconLabel = new QLabel(_frame);
    _iconLabel->setObjectName(QStringLiteral("appicon_label"));
    _iconLabel->setFixedSize(28, 28);
    _iconLabel->setPixmap(QPixmap(QStringLiteral(":/device/icons/Vantor.png")));
    _iconLabel->setScaledContents(true);
    row->addWidget(_iconLabel);

    _titleLabel = new QLabel(QStringLiteral("Vantor Reda V1.0.0"), _frame);
    _titleLabel->setObjectName(QStringLiteral("title_label"));
    _titleLabel->setFixedHeight(21);
    _titleLabel->setStyleSheet(QStringLiteral(
        "QLabel#title_label{color:#8C8C8C;font-family:Arial;font-size:18px;font-weight:400;}"));
    row->addWidget(_titleLabel);
    row->addStretch(1);

    _infoButton = new QPushButton(_frame);
    _infoButton->setObjectName(QStringLiteral("info_pushButton"));
    _infoButton->setFixedSize(40, 40);
    _infoButton->setIcon(QIcon(QStringLiteral(":/device/icons/icon/information.png")));
    _infoButton->setIconSize(QSize(16, 16));
    _infoButton->setFocusPolicy(Qt::NoFocus);
    row->addWidget(_infoButton);

    _minButton = new QPushButton(QStringLiteral("_"), _frame);
    _minButton->setObjectName(QStringLiteral("min_pushButton"));
    _minButton->setFixedSize(40, 40);
    _minButton->setFocusPolicy(Qt::NoFocus);
    row->addWidget(_minButton);

    _closeButton = new QPushButton(QStringLiteral("X"), _frame);
    _closeButton->setObjectName(QStringLiteral("close_pushButton"));
    _closeButton->setFixedSize(40, 40);
    _closeButton->setFocusPolicy(Qt::NoFocus);
    row->addWidget(_closeButton);

    connect(_minButton, &QPushButton::clicked, this, &titleWidget::slot_MinButtonClicked);
    connect(_closeButton, &QPushButton::clicked, this, &titleWidget::slot_CloseButtonClicked);
    connect(_infoButton, &QPushButton::clicked, this, &titleWidget::slot_InfoButtonClicked);
}

void titleWidget::setInfoButtonVisible(bool visible) {
    _infoButton->setVisible(visible);
}

void titleWidget::setMinButtonVisible(bool visible) {
    _minButton->setVisible(visible);
}

void titleWidget::setTitleLabelText(const QString& text) {
    _titleLabel->setText(text);
}

QString titleWidget::titleLabelText() const {
    return _titleLabel->text();
}

void titleWidget::slot_MinButtonClicked() {
    emit signal_MinButtonClicked();
}

void titleWidget::slot_CloseButtonClicked() {
    emit signal_CloseButtonClicked();
}

void titleWidget::slot_InfoButtonClicked() {
    emit signal_InofButtonClicked();
}
