// The account table UserRegister. UseState: 0 normal, 1 suspended, 6 super user.
#pragma once

#include "NetD.h"

#include <QDateTime>

#include <optional>

// One row of UserRegister with its times as the server's date-time text
// (empty when NULL).
struct TUserRegisterRow {
    QString UserName;
    QString UserPassword;
    QString Email;
    QString UserPhone;
    QString RegisterTime;
    QString LoginTime;
    int UseState = 0;
};

struct TUserAddress {
    QString UserName;
    QString Email;
};

class TUserRegisterTable {
public:
    explicit TUserRegisterTable(TdmNet &db) : db_(db) {}

    // Sets UseState of every row with that name. Throws DbError.
    void SetUseState(const QString &UserName, int UseState);
    // The password of the first account with that name and e-mail address;
    // nothing when none matches. Throws DbError.
    std::optional<QString> PasswordFor(const QString &UserName, const QString &Email);
    // The names of the super users (UseState 6), in table order. Throws DbError.
    QStringList SuperUserNames();
    // Every account that is not a super user, in table order. Throws DbError.
    std::vector<TUserAddress> OrdinaryUsers();

    // Every row, in table order. Throws DbError.
    std::vector<TUserRegisterRow> AllRows();
    // True when some account (of any kind) has that name. Throws DbError.
    bool Exists(const QString &UserName);
    // Adds a super user: e-mail "@", phone "000", registered and last logged
    // in at the given time. Throws DbError.
    void AddSuperUser(const QString &UserName, const QString &UserPassword, const QDateTime &now);
    // Sets the password of every row with that name. Throws DbError.
    void SetPassword(const QString &UserName, const QString &UserPassword);
    // Deletes every row with that name. Throws DbError.
    void DeleteUser(const QString &UserName);

private:
    TdmNet &db_;
};

// A date-time value as the account table shows and exports it: the server's
// date-time text, the date alone at exactly midnight, empty when invalid.
QString AccountTimeText(const QDateTime &t);
