#include "RemoteDialogFrame.h"

#include <QDialog>
#include <QVBoxLayout>

#include "titleWidget.h"

RemoteDialogFrame RemoteDialogFrame::build(QDialog* dialog, const QString& objectName, const QString& title,
                                           const QString& extraStyle) {
    dialog->setObjectName(objectName);
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_StyledBackground, true);
    dialog->setStyleSheet(
        QStringLiteral("QDialog#%1{background:#474E53;border:1px solid #595959;}").arg(objectName) +
        QStringLiteral(
            "QLabel,QCheckBox{color:#f0f0f0;font-family:Arial;font-size:14px;}"
            "QLineEdit,QComboBox,QSpinBox,QPlainTextEdit,QTableWidget{color:#f0f0f0;background:#40484D;"
            "border:1px solid #8C8C8C;font-family:Arial;font-size:14px;padding:2px;}"
            "QPushButton{color:#f0f0f0;background:#40484D;border:1px solid #8C8C8C;font-family:Arial;"
            "font-size:14px;padding:4px 12px;}"
            "QPushButton:hover{background:#4BBDEF;color:#434343;}"
            "QPushButton:disabled{color:#8C8C8C;}") +
        extraStyle);
    dialog->setWindowTitle(title);

    auto* outer = new QVBoxLayout(dialog);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    RemoteDialogFrame frame;
    frame.titleBar = new titleWidget(dialog);
    frame.titleBar->setMinimumWidth(0);
    frame.titleBar->setInfoButtonVisible(false);
    frame.titleBar->setMinButtonVisible(false);
    frame.titleBar->setTitleLabelText(title);
    outer->addWidget(frame.titleBar);

    frame.body = new QVBoxLayout;
    frame.body->setContentsMargins(24, 16, 24, 16);
    outer->addLayout(frame.body, 1);
    return frame;
}
