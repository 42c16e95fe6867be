#include "UserRegisterTable.h"

#include "PublicU.h"

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

QString AccountTimeText(const QDateTime &t) {
    if (!t.isValid())
        return {};
    if (t.time() == QTime(0, 0))
        return t.date().toString(sysShortDate);
    return DateTimeText(t);
}

std::vector<TUserRegisterRow> TUserRegisterTable::AllRows() {
    std::vector<TUserRegisterRow> users;
    const SqlDialect &dialect = db_.Dialect();
    for (const QSqlRecord &r : db_.Select(QStringLiteral("select * from UserRegister"))) {
        TUserRegisterRow u;
        u.UserName = r.value(QStringLiteral("UserName")).toString();
        u.UserPassword = r.value(QStringLiteral("UserPassword")).toString();
        u.Email = r.value(QStringLiteral("Email")).toString();
        u.UserPhone = r.value(QStringLiteral("UserPhone")).toString();
        u.RegisterTime =
            AccountTimeText(dialect.ReadDateTime(r.value(QStringLiteral("RegisterTime"))));
        u.LoginTime = AccountTimeText(dialect.ReadDateTime(r.value(QStringLiteral("LoginTime"))));
        u.UseState = r.value(QStringLiteral("UseState")).toInt();
        users.push_back(std::move(u));
    }
    return users;
}

bool TUserRegisterTable::Exists(const QString &UserName) {
    return !db_.Select(QStringLiteral("select * from UserRegister where UserName=?"), {UserName})
                .empty();
}

void TUserRegisterTable::AddSuperUser(const QString &UserName, const QString &UserPassword,
                                      const QDateTime &now) {
    const QVariant time = db_.Dialect().DateTimeValue(now);
    db_.Exec(QStringLiteral("insert into UserRegister (UserName,UserPassword,Email,UserPhone,"
                            "RegisterTime,LoginTime,UseState) values (?,?,'@','000',?,?,6)"),
             {UserName, UserPassword, time, time});
}

void TUserRegisterTable::SetPassword(const QString &UserName, const QString &UserPassword) {
    db_.Exec(QStringLiteral("update UserRegister set UserPassword=? where UserName=?"),
             {UserPassword, UserName});
}

void TUserRegisterTable::DeleteUser(const QString &UserName) {
    db_.Exec(QStringLiteral("delete from UserRegister where UserName=?"), {UserName});
}
