#pragma once

#include <QMap>
#include <QPixmap>
#include <QStringList>
#include <QWidget>

#include "AzimuthRange.h"
#include "vexsdk.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QSpacerItem;
class QSpinBox;

// The "Device & Camera Mapping" page: links the eight array positions to camera presets,
// keeps the azimuth zones per array brand, lights the position of the active talker and
// calls the linked preset on the connected camera.
//
// Interface thread only.
class PresetLink : public QWidget {
    Q_OBJECT

public:
    // Array brand codes as the microphone-array page sends them.
    enum Brand { Shure = 0, Sennheiser = 1, Nureva = 2, Yamaha = 3 };
    // Device-list index of the four-lobe array that only has positions 1-4.
    static constexpr int kFourLobeDeviceType = 2;
    static constexpr int kPositionCount = 8;
    // Azimuth value that means "nobody talks".
    static constexpr int kSilentAzimuth = 400;

    explicit PresetLink(QWidget* parent = nullptr);
    ~PresetLink() override;

    // Position (1-8) whose zone of the current brand holds the azimuth, -1 when none does or
    // the brand reports positions itself. Takes the zone editors' values first, so an edited
    // zone counts before it is applied.
    int positionForAzimuth(int azimuth);

    // Reads the preset links and zones from the published settings document.
    void loadSettings();

    // Settings writer accessors.
    QMap<int, int> presetMap() const { return _presetMap; }
    // Nine texts: element 0 is the placeholder "Start", elements 1-8 are "start~end" of the
    // brand's zones (1 Sennheiser, 2 Nureva, 3 Yamaha; any other brand gives an empty list).
    QStringList rangeTexts(int deviceBrandInt) const;

    // Read-only views for the window and the tests.
    int deviceBrandInt() const { return _deviceBrandInt; }
    int deviceTypeInt() const { return _deviceTypeInt; }
    int lastPreset() const { return _lastPreset; }
    // Forgets the preset tracking called last, so the next call goes out even if it repeats
    // it: someone else moved the camera since.
    void forgetLastPreset() { _lastPreset = -1; }
    AzimuthRange range(int deviceBrandInt, int position) const;
    bool isLightOn(int position) const;
    bool isApplyEnabled() const;
    QComboBox* presetBox(int position) const;
    QSpinBox* rangeStartBox(int position) const;
    QSpinBox* rangeEndBox(int position) const;

signals:
    void signal_AddUSBCommand(int commandID, int commandValue);
    // Tracking asked the camera for this preset (0-9); only calls actually sent.
    void signal_TrackingPresetCalled(int preset);

public slots:
    void slot_SwitchSoundDeviceType(int deviceTypeInt, int deviceBrandInt);
    void slot_GetSureSoundDeviceArrayPosState(int arrayPosInt, bool isOnBool);
    void slot_CallCameraPreset(int arrayPosInt);
    // Calls a preset tracking chose itself rather than through a position (the shot for
    // several talkers).
    void slot_CallTrackingPreset(int preset);
    void slot_ConnectUSBCamera(DC_Recv* recv);
    void slot_GetSennheiserTCC2Azimuth(int azimuthInt);
    void slot_GetNurveaAzimuth(int azimuthInt);
    void slot_GetYamahaAzimuth(int azimuthInt);
    void slot_Apply();
    void slot_PresetOrAzimuthEdited();

private:
    using RangeTable = QMap<int, AzimuthRange>;

    void buildForm();
    void drawLights();
    void connectEditSignals();
    void disconnectEditSignals();
    void refreshRangeEditors();
    void setAllLights(bool on);
    // Sends a tracking preset unless it is the one called last; forgets the last one when
    // no camera is connected or there is no preset.
    void sendTrackingPreset(int preset);
    void setLight(int position, bool on);
    // Shared by the three azimuth slots: lights the position of the azimuth for one brand.
    void showAzimuth(int brand, int azimuth, int spanLow, int spanHigh);
    // Copies row i's editors into zone i of the table (the editors are the source of truth
    // between two applies).
    void takeRangeFromEditors(RangeTable& table, int position);
    RangeTable* rangeTable(int brand);
    const RangeTable* rangeTable(int brand) const;

    // Widgets (owned by their Qt parents); index 0 is unused so positions address them.
    QLabel* _arrayTitleLabel = nullptr;
    QLabel* _azimuthTitleLabel = nullptr;
    QPushButton* _applyButton = nullptr;
    QSpacerItem* _lowerRowsSpacer = nullptr;
    QList<QLabel*> _positionLights;
    QList<QLabel*> _positionLabels;
    QList<QComboBox*> _presetBoxes;
    QList<QSpinBox*> _rangeStartBoxes;
    QList<QSpinBox*> _rangeEndBoxes;
    QList<QFrame*> _rangeFrames;
    int _rowHeight = 0;
    int _rowSpacing = 0;

    QPixmap _onPixmap;
    QPixmap _offPixmap;
    QList<bool> _lightStates;

    int _deviceBrandInt = Shure;
    int _deviceTypeInt = 0;
    DC_Recv* _receiver = nullptr;  // not owned: the camera list owns the receiver
    QMap<int, int> _presetMap;
    RangeTable _sennheiserRanges;
    RangeTable _nurevaRanges;
    RangeTable _yamahaRanges;
    QMap<int, bool> _shureGateStates;
    int _lastPreset = -1;
};
