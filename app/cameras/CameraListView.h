#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "USB_DeviceInfo.h"

class DC_Recv;
class QAbstractButton;
class QButtonGroup;
class QFrame;
class QLabel;
class QPushButton;
class QTableWidget;
class UsbSearch;

// The "Camera Control & State" page: one row per attached camera, each with a
// Connect/Disconnect button. Connecting a camera means building and initialising one library
// receiver, which this page owns. With the setting "SeveralCameras" (top level of the
// settings document, default false) each row connects and disconnects on its own; without
// it, connecting a camera disconnects the one connected before.
//
// Each receiver is announced with signal_CameraReceiver(location, receiver) and its end with
// (location, null). The default camera, the first connected one still connected, is also
// announced with signal_ConnectUSBCamera (null: none is connected): the tracking steers it
// and commands naming no camera reach it. When it goes (disconnected, unplugged) the next
// connected camera becomes the default. The selected camera, the row connected last by the
// user, is the one the PTZ panel opens on.
//
// A camera connected when it is unplugged (a loose cable, a hub losing power) is awaited: when
// a row with its location identity arrives, or one with its USB serial number on another
// port, that row is connected at once. Only with "AutoReconnect" (the timing dialog's switch,
// on by default); a camera disconnected by hand is not awaited, and a choice of the user ends
// the wait as it ends a pending auto-connect.
//
// Each row's camera-info object (CameraInfoKey) lives in the property "DataInfo" of the
// row's label and button; the button's copy is the one that counts (inverted tilt is stored
// there only). A screen reader finds each row's model label and button, both describing the
// row's state ("Connected" / "Not connected"); Tab goes from row to row, Space or Enter
// presses the button.
//
// Threading: interface thread only. The search list arrives by a queued connection from the
// search thread as a copy. The command worker uses the announced receivers on its own thread:
// the page destroys a receiver only after announcing null for every role it had, and the
// worker's slots return only once no command runs on the old receiver.
class CameraListView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kConnectAttempts = 5;
    // Long enough for "Front left", short enough for the mapping page's camera boxes.
    static constexpr int kShortNameMaxLength = 24;

    explicit CameraListView(QWidget* parent = nullptr);
    // Announces null and destroys the receivers; waits for a search in progress.
    ~CameraListView() override;

    // The receiver of the default camera; null when none is connected.
    DC_Recv* currentReceiver() const;
    // The receiver of the camera at that location identity (any case); null when it is not
    // connected.
    DC_Recv* receiverFor(const QString& locationIdentity) const;
    // The connected cameras' location identities (lower case), the default one first.
    QStringList connectedLocations() const { return _connectOrder; }
    // The same, in the list's row order (how a person reads "the first connected camera").
    QStringList connectedLocationsInListOrder() const;
    // The camera the PTZ panel opens on: the selected row when it is connected, else the
    // default camera; empty when none is connected.
    QString selectedLocation() const;
    // The row's camera-info object for that location; empty when no row has it.
    QJsonObject cameraData(const QString& locationIdentity) const;

    // Whether each camera connects on its own: "SeveralCameras" in the settings document.
    bool severalCameras() const;
    static bool severalCamerasSetting(const QJsonObject& document);

    // The rows' camera-info objects for the settings document, in row order, "IsConnect"
    // "1" for the connected rows and "0" for the others. The rows' own objects are unchanged.
    QJsonArray cameraArray() const;

    // The connect/disconnect flow of a row button.
    void connectUSBCameraProcess(QPushButton* button);

    // Connects the camera of that location identity (any case), as its row button would;
    // a camera already connected stays as it is. false when no row has that location.
    bool connectCamera(const QString& locationIdentity);
    // Disconnects the camera of that location identity (any case; empty: the default camera),
    // as its row button would; nothing when it is not connected.
    void disconnectCamera(const QString& locationIdentity = QString());
    // The location identity of the default camera, as its row has it; empty when none is.
    QString connectedLocation() const;

    // "ZM-130" or "ZM-150" when the model name contains it, else the model name.
    static QString displayModelName(const QString& modelName);
    // How a camera is named where one is chosen: its short name, else its model.
    static QString cameraLabel(const QJsonObject& data);

    // The name the user gave the camera (trimmed, at most kShortNameMaxLength characters),
    // kept in its camera-info object as "ShortName" and saved with it; false when no row has
    // that location or the name is unchanged.
    bool setShortName(const QString& locationIdentity, const QString& shortName);

    // Views for the window and the tests.
    int rowCount() const;
    QPushButton* rowButton(int row) const;
    QLabel* rowLabel(int row) const;
    QButtonGroup* buttonGroup() const { return _buttonGroup; }
    UsbSearch* usbSearch() const { return _usbSearch; }
    // The first saved camera still to be connected when its row arrives (empty: none).
    QString pendingAutoConnect() const {
        return _pendingAutoConnect.isEmpty() ? QString() : _pendingAutoConnect.first();
    }
    // All of them (with "SeveralCameras" every camera saved as connected).
    QStringList pendingAutoConnects() const { return _pendingAutoConnect; }

    // A camera that was connected when it went away, awaited to come back.
    struct AwaitedCamera {
        QString location;  // lower case
        QString serial;    // empty when the camera has none
        QString model;
    };
    // Whether a camera connected when it goes away is connected again when it comes back
    // ("AutoReconnect", on by default). Off: nothing is awaited any more.
    void setAutoReconnect(bool on);
    bool autoReconnect() const { return _autoReconnect; }
    // The cameras awaited, in the order they went.
    QList<AwaitedCamera> awaitedCameras() const { return _awaited; }

signals:
    void signal_PTZControlClicked(bool clicked, QJsonObject dataObject);
    void signal_ConnectUSBCamera(DC_Recv* recv);
    // A camera's receiver (null: it is going; its location in lower case).
    void signal_CameraReceiver(QString locationIdentity, DC_Recv* recv);
    // A camera could not be opened; the main window shows the message.
    void signal_WarningMessage(QString message);
    // Rows were added or removed.
    void signal_CamerasChanged();
    void signal_ShortNameChanged(QString locationIdentity, QString shortName);

public slots:
    void slot_StartUSBSearch();
    void slot_GetUSBCameras(QList<USB_DeviceInfo> usbDeviceList);
    void slot_deviceUSBPlugOut(QString deviceUSBPlugOutLocationIdentity);
    void slot_deviceUSBPlugIn(QString deviceUSBPlugInLocationIdentity);
    // For the default camera.
    void slot_SetInvertTilt(bool inverTiltBool);
    void slot_SetCameraInvertTilt(QString locationIdentity, bool inverTiltBool);
    void slot_StartAutoConnect();
    void slot_ConnectUSBCamera();
    void slot_PTZControlClicked(bool clicked);

private:
    void buildForm();
    // The short name saved for that camera in the settings document; empty when none.
    static QString savedShortName(const QString& locationIdentity);
    void addRow(const USB_DeviceInfo& info);
    // A camera this user may not open: one cell that says so, no button (so it is never
    // connected, saved or offered), its location kept on the label.
    void addNoPermissionRow(const USB_DeviceInfo& info);
    QString noPermissionLocation(int row) const;  // empty for a camera's own row
    void removeNoPermissionRow(const QString& locationIdentity);
    void applyRowColours(int row);
    int rowOfButton(const QAbstractButton* button) const;
    void renumberButtons();
    void searchFinished();
    // Announces the end of that camera's receiver (and a new default when it was the
    // default) and destroys it.
    void destroyReceiver(const QString& locationIdentity);
    void destroyAllReceivers();
    QPushButton* buttonOf(const QString& locationIdentity) const;
    // Connects the first row of that (lower-case) location; false when there is none.
    bool connectSavedCamera(const QString& locationIdentity);
    // The user chose about the camera of that location and serial number (connected or
    // disconnected it): no saved or awaited camera arriving later overrides the choice. With
    // one camera at a time any choice ends every wait; with several, the waits for that camera.
    void userChose(const QString& locationIdentity, const QString& serial);
    // The awaited camera a row with that location (lower case) and serial brings back; -1: none.
    int awaitedIndexOf(const QString& locationIdentity, const QString& serial) const;

    QFrame* _frame = nullptr;
    QLabel* _titleLabel = nullptr;
    QPushButton* _searchButton = nullptr;
    QPushButton* _ptzButton = nullptr;
    QTableWidget* _table = nullptr;
    QButtonGroup* _buttonGroup = nullptr;  // the row buttons; a button's id is its row
    UsbSearch* _usbSearch = nullptr;       // child of this page

    QMap<QString, DC_Recv*> _receivers;  // owned; by lower-case location identity
    QStringList _connectOrder;           // the connected locations, first connected first
    QString _selected;                   // the location the user connected last
    // Lent to every receiver's initialize; the application never enables the AI mode, so the
    // library never reads it, but it must outlive the receiver.
    bool _aiFlag = false;
    // What DC_CaptureFormats::renderWindowRef points at: a pointer to a null window handle.
    void* _nullWindowHandle = nullptr;
    void* _windowHandleRef = &_nullWindowHandle;

    // A plug-in that arrived while a search ran: that search may have walked the bus before
    // the camera appeared, so it runs again when it ends.
    bool _searchAgain = false;
    // Cameras unplugged while a search ran: that search may have listed them before they
    // went, so its results must not bring their rows back. Cleared when the search ends.
    QStringList _unpluggedDuringSearch;
    // The cameras saved as connected whose rows had not arrived by the auto-connect; each is
    // connected when its row arrives, once, unless the user connects or disconnects a camera
    // first (with "SeveralCameras": unless the user connects or disconnects that camera).
    QStringList _pendingAutoConnect;
    bool _autoReconnect = true;     // "AutoReconnect", from the main window
    QList<AwaitedCamera> _awaited;  // see AwaitedCamera; none while _autoReconnect is off
};
