#include "ViscaDialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

#include "RemoteDialogFrame.h"
#include "titleWidget.h"

ViscaDialog::ViscaDialog(const ViscaSettings& settings, QWidget* parent) : QDialog(parent) {
    const RemoteDialogFrame frame = RemoteDialogFrame::build(
        this, QStringLiteral("ViscaDialog"), tr("VISCA"),
        QStringLiteral("QLabel#visca_error{color:#FFB347;}"
                       "QHeaderView::section{color:#f0f0f0;background:#474E53;border:none;"
                       "font-family:Arial;font-size:13px;padding:2px;}"));
    _titleBar = frame.titleBar;
    setMinimumSize(520, 560);
    QVBoxLayout* body = frame.body;
    body->setSpacing(10);

    _enabled = new QCheckBox(tr("Serve VISCA over IP"), this);
    _enabled->setObjectName(QStringLiteral("visca_enabled"));
    _enabled->setAccessibleName(tr("Serve VISCA"));
    body->addWidget(_enabled);

    auto* form = new QFormLayout;
    form->setSpacing(8);
    _address = new QLineEdit(this);
    _address->setObjectName(QStringLiteral("visca_address"));
    _address->setAccessibleName(tr("Address"));
    _address->setPlaceholderText(QStringLiteral("127.0.0.1"));
    form->addRow(tr("Address"), _address);
    _udpPort = new QSpinBox(this);
    _udpPort->setObjectName(QStringLiteral("visca_udp_port"));
    _udpPort->setAccessibleName(tr("UDP port"));
    _udpPort->setRange(1, 65535);
    form->addRow(tr("UDP port (first camera)"), _udpPort);
    _tcpPort = new QSpinBox(this);
    _tcpPort->setObjectName(QStringLiteral("visca_tcp_port"));
    _tcpPort->setAccessibleName(tr("TCP port"));
    _tcpPort->setRange(1, 65535);
    form->addRow(tr("TCP port (first camera)"), _tcpPort);
    _peers = new QPlainTextEdit(this);
    _peers->setObjectName(QStringLiteral("visca_peers"));
    _peers->setAccessibleName(tr("Allowed peers"));
    _peers->setPlaceholderText(tr("One address or range a line, e.g. 192.168.10.20 or 10.1.0.0/16"));
    _peers->setFixedHeight(72);
    form->addRow(tr("Allowed peers"), _peers);
    body->addLayout(form);

    auto* note = new QLabel(tr("VISCA has no password: beyond 127.0.0.1 only the allowed peers may steer."), this);
    note->setObjectName(QStringLiteral("visca_note"));
    note->setWordWrap(true);
    body->addWidget(note);

    _table = new QTableWidget(0, 3, this);
    _table->setObjectName(QStringLiteral("visca_ports"));
    _table->setAccessibleName(tr("Camera ports"));
    _table->setHorizontalHeaderLabels({tr("Camera"), tr("UDP"), tr("TCP")});
    _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _table->setSelectionBehavior(QAbstractItemView::SelectRows);
    _table->setSelectionMode(QAbstractItemView::SingleSelection);
    _table->verticalHeader()->setVisible(false);
    _table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    _table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    _table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    body->addWidget(_table, 1);

    auto* tableButtons = new QHBoxLayout;
    tableButtons->addStretch(1);
    _forget = new QPushButton(tr("Forget camera"), this);
    _forget->setObjectName(QStringLiteral("visca_forget"));
    _forget->setEnabled(false);
    tableButtons->addWidget(_forget);
    body->addLayout(tableButtons);

    _error = new QLabel(this);
    _error->setObjectName(QStringLiteral("visca_error"));
    _error->setWordWrap(true);
    body->addWidget(_error);
    _status = new QLabel(this);
    _status->setObjectName(QStringLiteral("visca_status"));
    _status->setWordWrap(true);
    body->addWidget(_status);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    _cancel = new QPushButton(tr("Cancel"), this);
    _cancel->setObjectName(QStringLiteral("visca_cancel"));
    buttons->addWidget(_cancel);
    _ok = new QPushButton(tr("OK"), this);
    _ok->setObjectName(QStringLiteral("visca_ok"));
    _ok->setDefault(true);
    buttons->addWidget(_ok);
    body->addLayout(buttons);

    _enabled->setChecked(settings.enabled);
    _address->setText(settings.address);
    _udpPort->setValue(settings.udpPort);
    _tcpPort->setValue(settings.tcpPort);
    _peers->setPlainText(settings.allowedPeers.join(QLatin1Char('\n')));
    _ports = settings.ports;
    fillTable();

    connect(_titleBar, &titleWidget::signal_CloseButtonClicked, this, &QDialog::reject);
    connect(_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(_ok, &QPushButton::clicked, this, &ViscaDialog::accept);
    connect(_enabled, &QCheckBox::toggled, this, &ViscaDialog::updateError);
    connect(_address, &QLineEdit::textChanged, this, &ViscaDialog::updateError);
    connect(_peers, &QPlainTextEdit::textChanged, this, &ViscaDialog::updateError);
    // The TCP column follows the first pair: each camera keeps its distance from it.
    connect(_udpPort, &QSpinBox::valueChanged, this, [this] {
        fillTable();
        updateError();
    });
    connect(_tcpPort, &QSpinBox::valueChanged, this, [this] {
        fillTable();
        updateError();
    });
    connect(_table, &QTableWidget::itemSelectionChanged, this,
            [this] { _forget->setEnabled(!_table->selectedItems().isEmpty()); });
    connect(_forget, &QPushButton::clicked, this, [this] {
        const int row = _table->currentRow();
        if (row < 0)
            return;
        _ports.remove(_table->item(row, 0)->data(Qt::UserRole).toString());
        fillTable();
        updateError();
    });
    updateError();
}

ViscaSettings ViscaDialog::settings() const {
    ViscaSettings s;
    s.enabled = _enabled->isChecked();
    const QString address = _address->text().trimmed();
    s.address = address.isEmpty() ? QStringLiteral("127.0.0.1") : address;
    s.udpPort = _udpPort->value();
    s.tcpPort = _tcpPort->value();
    for (const QString& line : _peers->toPlainText().split(QLatin1Char('\n'))) {
        const QString peer = line.trimmed();
        if (!peer.isEmpty())
            s.allowedPeers.append(peer);
    }
    s.ports = _ports;
    return s;
}

void ViscaDialog::setCameraNames(const QMap<QString, QString>& names) {
    _names.clear();
    for (auto it = names.begin(); it != names.end(); ++it) _names.insert(it.key().toLower(), it.value());
    fillTable();
}

void ViscaDialog::setStatus(const QString& status) {
    _status->setText(status);
}

void ViscaDialog::fillTable() {
    const QString selected =
        _table->currentRow() >= 0 ? _table->item(_table->currentRow(), 0)->data(Qt::UserRole).toString() : QString();
    std::vector<std::pair<int, QString>> rows;
    for (auto it = _ports.begin(); it != _ports.end(); ++it) rows.emplace_back(it.value(), it.key());
    std::sort(rows.begin(), rows.end());
    const ViscaSettings pairing = settings();
    _table->clearSelection();
    _table->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const auto& [udp, location] = rows[static_cast<size_t>(row)];
        auto* name = new QTableWidgetItem(_names.value(location, location));
        name->setData(Qt::UserRole, location);
        name->setToolTip(location);
        _table->setItem(row, 0, name);
        _table->setItem(row, 1, new QTableWidgetItem(QString::number(udp)));
        _table->setItem(row, 2, new QTableWidgetItem(QString::number(pairing.tcpPortFor(udp))));
        if (location == selected)
            _table->selectRow(row);
    }
    _forget->setEnabled(!_table->selectedItems().isEmpty());
}

void ViscaDialog::updateError() {
    const ViscaSettings s = settings();
    // Settings that are switched off are kept as they are: nothing is served from them.
    const QString problem = s.enabled ? s.problem() : QString();
    _error->setText(problem);
    _ok->setEnabled(problem.isEmpty());
}

void ViscaDialog::accept() {
    updateError();
    if (!_error->text().isEmpty())
        return;
    QDialog::accept();
}

void ViscaDialog::mousePressEvent(QMouseEvent* event) {
    _drag.press(this, event);
    QDialog::mousePressEvent(event);
}

void ViscaDialog::mouseMoveEvent(QMouseEvent* event) {
    _drag.move(this, event);
    QDialog::mouseMoveEvent(event);
}

void ViscaDialog::mouseReleaseEvent(QMouseEvent* event) {
    _drag.release();
    QDialog::mouseReleaseEvent(event);
}
