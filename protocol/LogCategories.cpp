#include "LogCategories.h"

// Info and above by default, so that debug lines cost one check until asked for.
Q_LOGGING_CATEGORY(lcProtocol, "mms.protocol", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStore, "mms.store", QtInfoMsg)
Q_LOGGING_CATEGORY(lcEquipment, "mms.equipment", QtInfoMsg)
Q_LOGGING_CATEGORY(lcClient, "mms.client", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAlarm, "mms.alarm", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRemote, "mms.remote", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "mms.ui", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "mms.app", QtInfoMsg)
