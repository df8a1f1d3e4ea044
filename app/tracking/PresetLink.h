#pragma once

#include <QMap>
#include <QPixmap>
#include <QStringList>
#include <QWidget>

#include "AzimuthRange.h"
#include "ArrayDevices.h"
#include "CameraChoice.h"
#include "CameraCommand.h"
#include "PositionMap.h"
#include "vexsdk.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QSpacerItem;
class QSpinBox;
class TrackingEngine;

// The "Device & Camera Mapping" page: links the eight array positions to a camera and one of
// its presets, keeps the azimuth zones per array brand and lights the position of the active
// talker. A position's camera is a location identity ("First camera": none, so the first
// connected camera in the list takes it, as before positions named cameras); a camera that is
// not attached keeps its links and is shown as such.
// It decides nothing: the tracker is handed the links and zones (a PositionMap) whenever
// they change (the zones as they are edited, the presets on "Apply"), and a call of a
// position's preset from here goes to the tracker, which calls it by its rules.
//
// Interface thread only.
class PresetLink : public QWidget {
    Q_OBJECT

public:
    // Array brand codes as the microphone-array page sends them.
    enum Brand {
        Shure = ArrayDevices::Shure,
        Sennheiser = ArrayDevices::Sennheiser,
        Nureva = ArrayDevices::Nureva,
        Yamaha = ArrayDevices::Yamaha
    };
    // Device-list index of the four-lobe array that only has positions 1-4.
    static constexpr int kFourLobeDeviceType = 2;
    static constexpr int kPositionCount = 8;
    // Azimuth value that means "nobody talks".
    static constexpr int kSilentAzimuth = 400;

    explicit PresetLink(QWidget* parent = nullptr);
    ~PresetLink() override;

    // The tracker that looks positions up; handed the current links at once and every change
    // after. Not owned.
    void setTrackingEngine(TrackingEngine* engine);
    // The links and zones as the tracker gets them.
    PositionMap positionMap() const;

    // Position (1-8) whose zone of the current brand holds the azimuth, -1 when none does or
    // the brand reports positions itself. Takes the zone editors' values first, so an edited
    // zone counts before it is applied.
    int positionForAzimuth(int azimuth);

    // Reads the preset links and zones from the published settings document.
    void loadSettings();

    // The cameras the camera boxes offer (the list's rows). A position linked to a camera
    // that is not among them keeps its link.
    void setCameraChoices(const QList<CameraChoice>& choices);

    // Settings writer accessors.
    QMap<int, int> presetMap() const { return _presetMap; }
    // Position -> location identity of its camera (empty: the first connected camera).
    QMap<int, QString> cameraMap() const { return _cameraMap; }
    // Nine texts: element 0 is the placeholder "Start", elements 1-8 are "start~end" of the
    // brand's zones (1 Sennheiser, 2 Nureva, 3 Yamaha; any other brand gives an empty list).
    QStringList rangeTexts(int deviceBrandInt) const;

    // Read-only views for the window and the tests.
    int deviceBrandInt() const { return _deviceBrandInt; }
    int deviceTypeInt() const { return _deviceTypeInt; }
    DC_Recv* receiver() const { return _receiver; }
    AzimuthRange range(int deviceBrandInt, int position) const;
    bool isLightOn(int position) const;
    bool isApplyEnabled() const;
    QComboBox* presetBox(int position) const;
    QComboBox* cameraBox(int position) const;
    QSpinBox* rangeStartBox(int position) const;
    QSpinBox* rangeEndBox(int position) const;

signals:
    // A preset this page's call of a position sent (through the tracker and the router).
    void signal_AddUSBCommand(CameraCommand command);

public slots:
    void slot_SwitchSoundDeviceType(int deviceTypeInt, int deviceBrandInt);
    void slot_GetSureSoundDeviceArrayPosState(int arrayPosInt, bool isOnBool);
    // Asks the tracker for the preset linked to this position.
    void slot_CallCameraPreset(int arrayPosInt);
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
    void setLight(int position, bool on);
    // Fills one camera box with the choices, showing `location` (adding it when absent).
    void fillCameraBox(QComboBox* box, const QString& location);
    // Hands the tracker the links and zones as they are now.
    void publishMap();
    // A zone editor changed: its zone counts at once (before "Apply").
    void zoneEdited();
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
    QList<QComboBox*> _cameraBoxes;
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
    QMap<int, QString> _cameraMap;  // as applied; lower case
    QList<CameraChoice> _cameraChoices;
    RangeTable _sennheiserRanges;
    RangeTable _nurevaRanges;
    RangeTable _yamahaRanges;
    TrackingEngine* _engine = nullptr;  // not owned
};
