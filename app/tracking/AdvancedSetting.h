#pragma once

#include <QDialog>
#include <QPoint>

#include "CameraChoice.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class titleWidget;

// The audio-tracking timing dialog: trigger level, trigger delay, return-home time and
// return-home action. It edits a working copy; Apply hands the copy to the microphone-array
// page through four signals, Cancel drops it. It never touches the settings document.
//
// Interface thread only.
class AdvancedSetting : public QDialog {
    Q_OBJECT

public:
    explicit AdvancedSetting(QWidget* parent = nullptr);
    ~AdvancedSetting() override;

    // Loads the page's current values before each opening; does not enable Apply.
    void setValues(int deviceTypeInt, int deviceBrandInt, int sennheiserPeakLevel, int nurveaBackgroundNoise,
                   int delayTriggerTime, int backHomeTimeInt, int backHomeActionInt);

    // The tracking behaviours for real rooms, loaded the same way after setValues().
    void setTrackingValues(bool autoReconnect, int minimumHoldTimeMs, int severalTalkersPreset,
                           int manualOverrideTimeMs);
    // The cameras of the room, and which ones the several-talkers shot and the return home
    // go to (empty: the first connected camera; "all": every connected camera). A camera
    // that is not attached keeps its entry. Loaded after setTrackingValues().
    void setCameraValues(const CameraChoices& cameras, const QString& severalTalkersCamera,
                         const QString& backHomeCameras);

    // Working copy, for the tests and the page.
    bool autoReconnect() const { return _autoReconnect; }
    int minimumHoldTimeMs() const { return _minimumHoldTime; }
    int severalTalkersPreset() const { return _severalTalkersPreset; }
    int manualOverrideTimeMs() const { return _manualOverrideTime; }
    QString severalTalkersCamera() const { return _severalTalkersCamera; }
    QString backHomeCameras() const { return _backHomeCameras; }
    double nurveaBackgroundNoise() const { return _nurveaBackgroundNoise; }
    int sennheiserPeakLevel() const { return _sennheiserPeakLevel; }
    int backHomeTimeInt() const { return _backHomeTimeInt; }
    int backHomeActionInt() const { return _backHomeActionInt; }
    qint64 delayTriggerTime() const { return _delayTriggerTime; }

signals:
    void signal_AudioTriggerLevelChange(int audioTriggerLevel);
    void signal_DelayTriggerTimeChange(int delayTriggerTime);
    void signal_BackToHomeTriggerTimeChange(int backHomeTimeInt);
    void signal_BackToHomeActionChange(int backHomeActionInt);
    void signal_AutoReconnectChange(bool on);
    void signal_MinimumHoldTimeChange(int ms);
    void signal_SeveralTalkersPresetChange(int preset);
    void signal_ManualOverrideTimeChange(int ms);
    void signal_SeveralTalkersCameraChange(QString location);
    void signal_BackToHomeCamerasChange(QString cameras);

public slots:
    void slot_Cancel();
    void slot_Apply();
    void slot_AudioTriggerLevelChange(int audioTriggerLevel);
    void slot_DelayTriggerTimeChange();
    void slot_BackToHomeTriggerTimeChange();
    void slot_BackToHomeActionChange();
    void slot_TrackingChoiceChange();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void buildForm();
    void connectEditors();
    void disconnectEditors();
    static void selectByData(QComboBox* box, qint64 value);
    // A camera box: its first entry, the cameras, and `chosen` (added when none is it).
    static void fillCameraBox(QComboBox* box, const QString& firstText, const QString& firstValue,
                              const CameraChoices& cameras, const QString& chosen);
    // Selects the entry of a stored time; a time no entry names gets one of its own when
    // ownEntryAllowed (and the selection is left as it was otherwise).
    static void selectTime(QComboBox* box, int value, bool ownEntryAllowed);

    titleWidget* _titleBar = nullptr;
    QLabel* _levelLabel = nullptr;
    QSpinBox* _levelSpinBox = nullptr;
    QComboBox* _delayTimeBox = nullptr;
    QComboBox* _backHomeBox = nullptr;
    QComboBox* _backHomeActionBox = nullptr;
    QCheckBox* _autoReconnectBox = nullptr;
    QComboBox* _holdTimeBox = nullptr;
    QLabel* _severalTalkersLabel = nullptr;
    QComboBox* _severalTalkersBox = nullptr;
    QComboBox* _overrideTimeBox = nullptr;
    QLabel* _severalTalkersCameraLabel = nullptr;
    QComboBox* _severalTalkersCameraBox = nullptr;
    QComboBox* _backHomeCamerasBox = nullptr;
    QPushButton* _cancelButton = nullptr;
    QPushButton* _applyButton = nullptr;

    double _nurveaBackgroundNoise = 50.0;
    int _sennheiserPeakLevel = -55;
    int _backHomeTimeInt = 10000;
    int _backHomeActionInt = 300;
    qint64 _delayTriggerTime = 1500;
    int _deviceTypeInt = 2;
    int _deviceBrandInt = 0;
    bool _autoReconnect = true;
    int _minimumHoldTime = 0;
    int _severalTalkersPreset = -1;
    int _manualOverrideTime = 30000;
    QString _severalTalkersCamera;
    QString _backHomeCameras = QStringLiteral("all");

    bool _dragging = false;
    QPoint _pressOffset;
};
