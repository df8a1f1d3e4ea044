#pragma once

#include <QList>
#include <QString>

// A camera a person can pick where a setting names one (a position's camera, the several
// talkers' camera, the cameras sent home), as the camera list knows it.
//
// A plain value.
struct CameraChoice {
    QString location;  // location identity, lower case
    QString label;     // the user's short name for it, else its model
};

using CameraChoices = QList<CameraChoice>;
