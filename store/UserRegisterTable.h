// The account table UserRegister. UseState: 0 normal, 1 suspended, 6 super user.
#pragma once

#include "NetD.h"

#include <optional>

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

private:
    TdmNet &db_;
};
