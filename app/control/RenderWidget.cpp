#include "RenderWidget.h"

#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

RenderWidget::RenderWidget(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("RenderWidget"));
    _gridLayout = new QGridLayout(this);
    _gridLayout->setObjectName(QStringLiteral("renderWidget_gridLayout"));
    _gridLayout->setSpacing(0);
    _gridLayout->setContentsMargins(0, 0, 0, 0);

    _frame = new QFrame(this);
    _frame->setObjectName(QStringLiteral("render_frame"));
    _frame->setStyleSheet(QStringLiteral("QFrame#%1{background: #d9d9d9;border: %2px solid #595959;}")
                              .arg(_frame->objectName())
                              .arg(0));
    _gridLayout->addWidget(_frame, 0, 0);

    _boxLayout = new QVBoxLayout(_frame);
    _boxLayout->setContentsMargins(0, 0, 0, 0);
    _boxLayout->setSpacing(0);

    _placeholder = new QLabel(tr("No camera connected"), _frame);
    _placeholder->setObjectName(QStringLiteral("placeholder_label"));
    _placeholder->setAlignment(Qt::AlignCenter);
    _placeholder->setStyleSheet(
        QStringLiteral("QLabel#placeholder_label{color:#40484D;font-family:Arial;font-size:16px;"
                       "background:transparent;border:none;}"));
    _boxLayout->addWidget(_placeholder);
}

void RenderWidget::setPlaceholderVisible(bool visible) {
    _placeholder->setVisible(visible);
}

bool RenderWidget::isPlaceholderVisible() const {
    return !_placeholder->isHidden();
}

QString RenderWidget::placeholderText() const {
    return _placeholder->text();
}
