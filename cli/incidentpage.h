// What tervane-cli report writes of an incident: one self-contained HTML page
// (its own style and script, no request of any kind, a Content-Security-Policy
// that allows nothing else), or the same summary as text for a terminal.
#pragma once

#include <QByteArray>
#include <QString>

#include "cli/incident.h"

namespace cli {

QByteArray incidentPage(const IncidentTally& tally, const QString& title);
QByteArray incidentText(const IncidentTally& tally, const QString& title);

// The default title of both.
inline constexpr QStringView kIncidentTitle = u"Tervane 感染报告";

}  // namespace cli
