#include "DecisionLogWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "DecisionLog.h"
#include "titleWidget.h"

DecisionLogWindow::DecisionLogWindow(DecisionLog* log, QWidget* parent) : QDialog(parent), _log(log) {
    setObjectName(QStringLiteral("DecisionLogWindow"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setMinimumSize(640, 360);
    resize(760, 420);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral(
        "QDialog#DecisionLogWindow{background:#474E53;border:1px solid #595959;}"
        "QLabel{color:#f0f0f0;font-family:Arial;font-size:13px;}"
        "QListWidget{color:#f0f0f0;background:#40484D;border:1px solid #8C8C8C;font-family:monospace;"
        "font-size:13px;}"
        "QListWidget::item:selected{background:#4BBDEF;color:#2D3336;}"
        "QPushButton{color:#f0f0f0;background:#40484D;border:1px solid #8C8C8C;font-family:Arial;"
        "font-size:14px;padding:4px 12px;}"
        "QPushButton:hover{background:#4BBDEF;color:#434343;}"));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    _titleBar = new titleWidget(this);
    _titleBar->setMinimumWidth(0);
    _titleBar->setInfoButtonVisible(false);
    _titleBar->setMinButtonVisible(false);
    _titleBar->setTitleLabelText(tr("Tracking log"));
    setWindowTitle(tr("Tracking log"));
    outer->addWidget(_titleBar);
    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this, &QDialog::close);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(16, 12, 16, 16);
    body->setSpacing(8);
    outer->addLayout(body, 1);

    auto* hint = new QLabel(tr("Why the camera was or was not moved, newest first."), this);
    body->addWidget(hint);

    _list = new QListWidget(this);
    _list->setObjectName(QStringLiteral("trackingLog_list"));
    _list->setAccessibleName(tr("Tracking log"));
    _list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    _list->setUniformItemSizes(true);
    body->addWidget(_list, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    _copyButton = new QPushButton(tr("Copy"), this);
    _copyButton->setObjectName(QStringLiteral("trackingLog_copy"));
    _copyButton->setToolTip(tr("Copies the selected lines, or all of them (Ctrl+C)"));
    buttons->addWidget(_copyButton);
    body->addLayout(buttons);
    connect(_copyButton, &QPushButton::clicked, this, &DecisionLogWindow::slot_Copy);
    auto* copy = new QShortcut(QKeySequence::Copy, this);
    connect(copy, &QShortcut::activated, this, &DecisionLogWindow::slot_Copy);

    connect(_log, &DecisionLog::signal_Appended, this, &DecisionLogWindow::prependNewest);
    connect(_log, &DecisionLog::signal_Cleared, this, &DecisionLogWindow::reload);
    reload();
}

void DecisionLogWindow::reload() {
    _list->clear();
    for (int i = 0; i < _log->size(); ++i) _list->addItem(DecisionLog::describe(_log->entry(i)));
}

void DecisionLogWindow::prependNewest() {
    _list->insertItem(0, DecisionLog::describe(_log->entry(0)));
    // The window holds what the log holds.
    while (_list->count() > _log->size()) delete _list->takeItem(_list->count() - 1);
}

QString DecisionLogWindow::copyText() const {
    QStringList lines;
    const bool all = _list->selectedItems().isEmpty();
    for (int row = 0; row < _list->count(); ++row) {
        const QListWidgetItem* item = _list->item(row);
        if (all || item->isSelected())
            lines << item->text();
    }
    return lines.join(QLatin1Char('\n'));
}

void DecisionLogWindow::slot_Copy() {
    QApplication::clipboard()->setText(copyText());
}

void DecisionLogWindow::mousePressEvent(QMouseEvent* event) {
    _drag.press(this, event);
    QDialog::mousePressEvent(event);
}

void DecisionLogWindow::mouseMoveEvent(QMouseEvent* event) {
    _drag.move(this, event);
    QDialog::mouseMoveEvent(event);
}

void DecisionLogWindow::mouseReleaseEvent(QMouseEvent* event) {
    _drag.release();
    QDialog::mouseReleaseEvent(event);
}
