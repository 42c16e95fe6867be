// One logging category per subsystem, for what the operator's log does not
// show: input that is dropped, failures that are caught and passed over.
// Debug lines are off by default; QT_LOGGING_RULES="mms.*.debug=true" (or one
// category, such as "mms.equipment.debug=true") switches them on. They go to
// standard error, never into the operator's log.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcProtocol)  // mms.protocol: codec and dictionaries
Q_DECLARE_LOGGING_CATEGORY(lcStore)     // mms.store: the database
Q_DECLARE_LOGGING_CATEGORY(lcEquipment) // mms.equipment: the equipment link
Q_DECLARE_LOGGING_CATEGORY(lcClient)    // mms.client: the client link and its workers
Q_DECLARE_LOGGING_CATEGORY(lcAlarm)     // mms.alarm: alarm analysis and mail
Q_DECLARE_LOGGING_CATEGORY(lcRemote)    // mms.remote: the remote data service
Q_DECLARE_LOGGING_CATEGORY(lcUi)        // mms.ui: the windows
Q_DECLARE_LOGGING_CATEGORY(lcApp)       // mms.app: start-up and shutdown
