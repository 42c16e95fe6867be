#include "UserRegisterTable.h"

void TUserRegisterTable::SetUseState(const QString &UserName, int UseState) {
    db_.Exec(QStringLiteral("update UserRegister set UseState=? where UserName=?"),
             {UseState, UserName});
}

std::optional<QString> TUserRegisterTable::PasswordFor(const QString &UserName,
                                                       const QString &Email) {
    const auto rows =
        db_.Select(QStringLiteral("select * from UserRegister where (UserName=?) and (Email=?)"),
                   {UserName, Email});
    if (rows.empty())
        return std::nullopt;
    return rows.front().value(QStringLiteral("UserPassword")).toString();
}

QStringList TUserRegisterTable::SuperUserNames() {
    QStringList names;
    for (const QSqlRecord &r :
         db_.Select(QStringLiteral("select * from UserRegister where UseState=6")))
        names.append(r.value(QStringLiteral("UserName")).toString());
    return names;
}

std::vector<TUserAddress> TUserRegisterTable::OrdinaryUsers() {
    std::vector<TUserAddress> users;
    for (const QSqlRecord &r :
         db_.Select(QStringLiteral("select * from UserRegister where UseState<>6")))
        users.push_back({r.value(QStringLiteral("UserName")).toString(),
                         r.value(QStringLiteral("Email")).toString()});
    return users;
}
