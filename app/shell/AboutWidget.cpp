#include "AboutWidget.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "titleWidget.h"

AboutWidget::AboutWidget(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutWidget"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    resize(480, 360);
    setMinimumSize(480, 360);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(
        QStringLiteral("QDialog#AboutWidget{background:#474E53;}"
                       "QLabel{color:#f0f0f0;font-family:Arial;font-size:14px;}"
                       "QLabel#link_label{color:#4BBDEF;text-decoration:underline;}"
                       "QFrame#about_line{background:#F0F0F0;border:none;}"));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    _titleBar = new titleWidget(this);
    _titleBar->setMinimumWidth(0);
    _titleBar->setInfoButtonVisible(false);
    outer->addWidget(_titleBar);

    auto* line = new QFrame(this);
    line->setObjectName(QStringLiteral("about_line"));
    line->setFixedHeight(1);
    outer->addWidget(line);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(40, 40, 40, 24);
    body->setSpacing(16);
    outer->addLayout(body, 1);

    auto* product = new QLabel(QStringLiteral("Vantor Reda\nVersion : 1.0.3"), this);
    product->setObjectName(QStringLiteral("product_label"));
    product->setAlignment(Qt::AlignCenter);
    body->addWidget(product);
    body->addStretch(1);

    auto* helpRow = new QHBoxLayout;
    helpRow->setSpacing(8);
    helpRow->addStretch(1);
    auto* help = new QLabel(tr("Get Help ?"), this);
    help->setObjectName(QStringLiteral("help_label"));
    helpRow->addWidget(help);
    auto* link = new QLabel(this);
    link->setObjectName(QStringLiteral("link_label"));
    link->setTextFormat(Qt::RichText);
    link->setText(QStringLiteral("<a href=\"%1\" style=\"color:#4BBDEF;text-decoration:underline;\">%1</a>")
                      .arg(supportUrl()));
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    link->setOpenExternalLinks(true);
    helpRow->addWidget(link);
    helpRow->addStretch(1);
    body->addLayout(helpRow);
    body->addStretch(1);

    auto* footer = new QLabel(tr("Copyright \u00A9 Quillon. All rights reserved."), this);
    footer->setObjectName(QStringLiteral("footer_label"));
    footer->setAlignment(Qt::AlignCenter);
    body->addWidget(footer);

    setWindowTitle(_titleBar->titleText());
    connect(_titleBar, &titleWidget::signal_MinButtonClicked, this, &AboutWidget::slot_MinButtonClicked);
    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this, &AboutWidget::slot_CloseButtonClicked);
}

QString AboutWidget::supportUrl() {
    return QStringLiteral("https://support.quillon.example/vantor");
}

// The dialog has no task-bar entry of its own, so "minimise" only puts it away.
void AboutWidget::slot_MinButtonClicked() {
    hide();
}

void AboutWidget::slot_CloseButtonClicked() {
    hide();
}

void AboutWidget::mousePressEvent(QMouseEvent* event) {
    _drag.press(this, event);
    QDialog::mousePressEvent(event);
}

void AboutWidget::mouseMoveEvent(QMouseEvent* event) {
    _drag.move(this, event);
    QDialog::mouseMoveEvent(event);
}

void AboutWidget::mouseReleaseEvent(QMouseEvent* event) {
    _drag.release();
    QDialog::mouseReleaseEvent(event);
}
