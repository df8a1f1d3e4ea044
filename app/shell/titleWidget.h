#pragma once

#include <QString>
#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;

// The title bar every frameless window of the application draws: icon, title and up to three
// buttons. The buttons only emit signals; the hosting window decides what they do.
class titleWidget : public QWidget {
    Q_OBJECT

public:
    explicit titleWidget(QWidget* parent = nullptr);

    QString titleText() const { return _titleText; }
    void setInfoButtonVisible(bool visible);
    void setMinButtonVisible(bool visible);
    void setTitleLabelText(const QString& text);
    QString titleLabelText() const;

signals:
    void signal_MinButtonClicked();
    void signal_CloseButtonClicked();
    void signal_InofButtonClicked();

public slots:
    void slot_MinButtonClicked();
    void slot_CloseButtonClicked();
    void slot_InfoButtonClicked();

private:
    QString _titleText = QStringLiteral("Vantor Reda");
    QFrame* _frame = nullptr;
    QLabel* _iconLabel = nullptr;
    QLabel* _titleLabel = nullptr;
    QPushButton* _infoButton = nullptr;
    QPushButton* _minButton = nullptr;
    QPushButton* _closeButton = nullptr;
};
