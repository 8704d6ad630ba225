#include "emulator/core/Tsql.h"
#include "emulator/backup/BackupStatements.h"

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <set>

namespace sqlemu {

namespace {

std::string upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool isWordStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '#' || static_cast<unsigned char>(c) >= 0x80;
}

bool isWordChar(char c) {
    return isWordStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '@' || c == '$';
}

[[noreturn]] void syntaxError(const std::string& near) {
    throw SqlError(102, 15, 1, "Incorrect syntax near '" + near + "'.", true);
}

// Text comparison under a case-insensitive collation, trailing blanks ignored.
int compareText(const std::string& a, const std::string& b) {
    size_t la = a.size(), lb = b.size();
    while (la && a[la - 1] == ' ') --la;
    while (lb && b[lb - 1] == ' ') --lb;
    size_t n = std::min(la, lb);
    for (size_t i = 0; i < n; ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return la == lb ? 0 : la < lb ? -1 : 1;
}

// Case-insensitive search, as the server's default collation finds text.
size_t findText(const std::string& hay, const std::string& needle, size_t from) {
    if (needle.empty() || needle.size() > hay.size()) return std::string::npos;
    for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && std::tolower(static_cast<unsigned char>(hay[i + k])) ==
                                        std::tolower(static_cast<unsigned char>(needle[k])))
            ++k;
        if (k == needle.size()) return i;
    }
    return std::string::npos;
}

const char* typeName(const Value& v) { return v.unicode ? "nvarchar" : "varchar"; }

// Non-max strings are at most 8000 bytes: 8000 characters, or 4000 for Unicode.
Value capString(Value v) {
    if (v.type == Value::Str && v.maxLen != -1) {
        size_t cap = v.unicode ? 4000 : 8000;
        if (v.s.size() > cap) v.s.resize(cap);
    }
    return v;
}

int64_t textToInt(const Value& v) {
    const std::string& s = v.s;
    auto failed = [&] {
        return SqlError(245, 16, 1,
                        std::string("Conversion failed when converting the ") + typeName(v) + " value '" + s +
                            "' to data type int.",
                        true);
    };
    size_t i = 0, n = s.size();
    while (i < n && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    while (n > i && std::isspace(static_cast<unsigned char>(s[n - 1]))) --n;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    int64_t val = 0;  // blanks alone, or a sign alone, convert to 0
    for (; i < n; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) throw failed();
        val = val * 10 + (s[i] - '0');
        if (val > 2147483648LL)
            throw SqlError(
                248, 16, 1,
                std::string("The conversion of the ") + typeName(v) + " value '" + s + "' overflowed an int column.",
                true);
    }
    val = neg ? -val : val;
    if (val > INT32_MAX)
        throw SqlError(
            248, 16, 1,
            std::string("The conversion of the ") + typeName(v) + " value '" + s + "' overflowed an int column.", true);
    return val;
}

int compareValues(const Value& a, const Value& b) {
    if (a.type == Value::Int || b.type == Value::Int) {
        int64_t x = a.type == Value::Int ? a.i : textToInt(a);
        int64_t y = b.type == Value::Int ? b.i : textToInt(b);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    return compareText(a.s, b.s);
}

int64_t checkedInt(int64_t v) {
    if (v > INT32_MAX || v < INT32_MIN)
        throw SqlError(8115, 16, 2, "Arithmetic overflow error converting expression to data type int.");
    return v;
}

struct StatementTables {
    std::set<std::string> reserved{
        "ADD",     "ALL",    "ALTER",    "AND",     "ANY",   "AS",      "ASC",    "BACKUP",   "BEGIN",
        "BETWEEN", "BY",     "CASE",     "CAST",    "CHECK", "CONVERT", "CREATE", "DATABASE", "DECLARE",
        "DELETE",  "DESC",   "DISTINCT", "DROP",    "ELSE",  "END",     "EXEC",   "EXECUTE",  "EXISTS",
        "FROM",    "GO",     "GROUP",    "HAVING",  "IF",    "IN",      "INSERT", "INTO",     "IS",
        "JOIN",    "LIKE",   "NOT",      "NULL",    "ON",    "OR",      "ORDER",  "PRINT",    "RAISERROR",
        "RESTORE", "RETURN", "SELECT",   "SET",     "TABLE", "THEN",    "TO",     "TOP",      "UNION",
        "UPDATE",  "USE",    "VALUES",   "WAITFOR", "WHEN",  "WHERE",   "WHILE",  "WITH"};
    std::map<std::string, std::vector<StatementParser>> parsers;  // by upper-case keyword

    void plugIn(std::vector<PluggedStatement> statements) {
        for (auto& s : statements) {
            std::string k = upper(s.keyword);
            reserved.insert(k);
            parsers[k].push_back(std::move(s.parse));
        }
    }
};

// Built on first use (never from a static initialiser of another file) and never destroyed.
StatementTables& statementTables() {
    static StatementTables* tables = [] {
        auto* t = new StatementTables;
        t->plugIn(backup::statementParsers());
        return t;
    }();
    return *tables;
}

}  // namespace

bool isReservedWord(const std::string& word) { return statementTables().reserved.count(upper(word)) != 0; }

void registerStatement(const std::string& keyword, StatementParser parser) {
    statementTables().plugIn({{keyword, std::move(parser)}});
}

std::optional<std::string> Value::text() const {
    if (type == Null) return std::nullopt;
    if (type == Int) return std::to_string(i);
    return s;
}

bool isTrue(const Value& v) { return v.type == Value::Int && v.i != 0; }

bool faultApplies(const InstanceInfo& info, const std::string& fault, const std::string& batch) {
    auto it = info.faults.find(fault);
    if (it == info.faults.end()) return false;
    return it->second.empty() || findText(batch, it->second, 0) != std::string::npos;
}

// ---- lexer ----

std::vector<Token> tokenize(const std::string& b) {
    std::vector<Token> out;
    size_t i = 0, n = b.size();
    auto unclosed = [&](size_t from) {
        throw SqlError(105, 15, 1, "Unclosed quotation mark after the character string '" + b.substr(from) + "'.",
                       true);
    };
    while (i < n) {
        char c = b[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (c == '-' && i + 1 < n && b[i + 1] == '-') {
            while (i < n && b[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && b[i + 1] == '*') {
            int depth = 0;
            size_t j = i;
            while (j < n) {
                if (b[j] == '/' && j + 1 < n && b[j + 1] == '*') {
                    ++depth;
                    j += 2;
                    continue;
                }
                if (b[j] == '*' && j + 1 < n && b[j + 1] == '/') {
                    j += 2;
                    if (--depth == 0) break;
                    continue;
                }
                ++j;
            }
            if (depth != 0) throw SqlError(113, 15, 1, "Missing end comment mark '*/'.", true);
            i = j;
            continue;
        }
        Token t;
        t.offset = i;
        if ((c == 'N' || c == 'n') && i + 1 < n && b[i + 1] == '\'') {
            t.unicode = true;
            ++i;
            c = '\'';
        }
        if (c == '\'') {
            size_t start = i + 1, j = i + 1;
            std::string v;
            for (;;) {
                if (j >= n) unclosed(start);
                if (b[j] == '\'') {
                    if (j + 1 < n && b[j + 1] == '\'') {
                        v += '\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                v += b[j++];
            }
            t.kind = Token::String;
            t.value = v;
            t.text = b.substr(t.offset, j + 1 - t.offset);
            i = j + 1;
        } else if (c == '[' || c == '"') {
            char close = c == '[' ? ']' : '"';
            size_t start = i + 1, j = i + 1;
            std::string v;
            for (;;) {
                if (j >= n) unclosed(start);
                if (b[j] == close) {
                    if (j + 1 < n && b[j + 1] == close) {
                        v += close;
                        j += 2;
                        continue;
                    }
                    break;
                }
                v += b[j++];
            }
            t.kind = Token::QuotedName;
            t.value = v;
            t.text = b.substr(i, j + 1 - i);
            i = j + 1;
        } else if (c == '@') {
            size_t j = i + 1;
            if (j < n && b[j] == '@') ++j;
            while (j < n && isWordChar(b[j])) ++j;
            t.kind = Token::Variable;
            t.text = t.value = b.substr(i, j - i);
            i = j;
        } else if (isWordStart(c)) {
            size_t j = i;
            while (j < n && isWordChar(b[j])) ++j;
            t.kind = Token::Word;
            t.text = t.value = b.substr(i, j - i);
            i = j;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t j = i;
            while (j < n && (std::isdigit(static_cast<unsigned char>(b[j])) || b[j] == '.')) ++j;
            t.kind = Token::Number;
            t.text = t.value = b.substr(i, j - i);
            i = j;
        } else {
            static const char* twos[] = {"!=", "<>", "<=", ">=", "!<", "!>", "+=", "-="};
            t.kind = Token::Symbol;
            t.text = std::string(1, c);
            for (auto* two : twos)
                if (i + 1 < n && c == two[0] && b[i + 1] == two[1]) t.text = two;
            t.value = t.text;
            i += t.text.size();
        }
        out.push_back(std::move(t));
    }
    Token end;
    end.kind = Token::End;
    end.offset = n;
    out.push_back(end);
    return out;
}

// ---- conversions ----

Value convertTo(const Value& v, const DataType& t) {
    if (v.isNull()) {
        Value r;
        r.unicode = t.kind == DataType::NVarchar || t.kind == DataType::NChar;
        return r;
    }
    if (!t.isString()) {
        int64_t x = v.type == Value::Int ? v.i : textToInt(v);
        switch (t.kind) {
            case DataType::SmallInt:
                if (x < -32768 || x > 32767)
                    throw SqlError(
                        220, 16, 1,
                        "Arithmetic overflow error for data type smallint, value = " + std::to_string(x) + ".");
                break;
            case DataType::TinyInt:
                if (x < 0 || x > 255)
                    throw SqlError(
                        220, 16, 2,
                        "Arithmetic overflow error for data type tinyint, value = " + std::to_string(x) + ".");
                break;
            case DataType::Bit: x = x != 0; break;
            case DataType::Int: checkedInt(x); break;
            default: break;
        }
        return Value::integer(x);
    }
    bool uni = t.kind == DataType::NVarchar || t.kind == DataType::NChar;
    std::string s = v.type == Value::Int ? std::to_string(v.i) : v.s;
    if (t.length >= 0 && s.size() > static_cast<size_t>(t.length)) {
        if (v.type == Value::Int)
            s = "*";  // a number that does not fit
        else
            s.resize(static_cast<size_t>(t.length));
    }
    if ((t.kind == DataType::Char || t.kind == DataType::NChar) && t.length > 0 &&
        s.size() < static_cast<size_t>(t.length))
        s.append(static_cast<size_t>(t.length) - s.size(), ' ');
    return Value::string(s, uni, t.length);
}

// ---- expressions ----

namespace {

using ExprPtr = std::unique_ptr<Expr>;

struct Literal : Expr {
    Value v;
    explicit Literal(Value x) : v(std::move(x)) {}
    Value eval(EvalScope&) const override { return v; }
};

struct VarRef : Expr {
    std::string key;
    Value eval(EvalScope& s) const override {
        auto& vars = s.x.variables();
        auto it = vars.find(key);
        return it == vars.end() || !it->second ? Value() : *it->second;
    }
};

struct GlobalVar : Expr {
    std::string name;  // upper-case, with "@@"
    Value eval(EvalScope& s) const override {
        if (name == "@@VERSION") {
            const auto& in = s.x.instanceInfo();
            return Value::string("Microsoft SQL Server (emulated) - " + in.version + " (X64)", true);
        }
        if (name == "@@SERVERNAME") return serverProperty(s.x, "ServerName");
        if (name == "@@SPID") return Value::integer(51);
        if (name == "@@ERROR") return Value::integer(0);
        return Value();
    }
};

struct ColumnRef : Expr {
    std::string name;
    std::string text;
    Value eval(EvalScope& s) const override {
        if (s.row) {
            for (size_t i = 0; i < s.row->columns->size(); ++i)
                if (compareText((*s.row->columns)[i], name) == 0 && (*s.row->columns)[i].size() == name.size())
                    return (*s.row->values)[i];
        }
        throw SqlError(207, 16, 1, "Invalid column name '" + text + "'.", true);
    }
};

struct Binary : Expr {
    std::string op;
    ExprPtr a, b;
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s), y = b->eval(s);
        if (op == "+" && x.type != Value::Int && y.type != Value::Int) {
            if (x.isNull() || y.isNull()) {
                Value r;
                r.unicode = x.unicode || y.unicode;
                return r;
            }
            Value r = Value::string(x.s + y.s, x.unicode || y.unicode, x.maxLen == -1 || y.maxLen == -1 ? -1 : 0);
            return capString(r);
        }
        if (x.isNull() || y.isNull()) return Value();
        int64_t p = x.type == Value::Int ? x.i : textToInt(x);
        int64_t q = y.type == Value::Int ? y.i : textToInt(y);
        if (op == "+") return Value::integer(checkedInt(p + q));
        if (op == "-") return Value::integer(checkedInt(p - q));
        if (op == "*") return Value::integer(checkedInt(p * q));
        if (q == 0) throw SqlError(8134, 16, 1, "Divide by zero error encountered.");
        if (op == "/") return Value::integer(p / q);
        return Value::integer(p % q);
    }
};

struct Negate : Expr {
    ExprPtr a;
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s);
        if (x.isNull()) return x;
        return Value::integer(-(x.type == Value::Int ? x.i : textToInt(x)));
    }
};

struct Compare : Expr {
    std::string op;
    ExprPtr a, b;
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s), y = b->eval(s);
        if (x.isNull() || y.isNull()) return Value();
        int c = compareValues(x, y);
        bool r = op == "="                    ? c == 0
                 : (op == "!=" || op == "<>") ? c != 0
                 : op == "<"                  ? c < 0
                 : op == ">"                  ? c > 0
                 : (op == "<=" || op == "!>") ? c <= 0
                                              : c >= 0;
        return Value::integer(r);
    }
};

struct IsNull : Expr {
    ExprPtr a;
    bool negated = false;
    Value eval(EvalScope& s) const override { return Value::integer(a->eval(s).isNull() != negated); }
};

struct Logic : Expr {
    bool isAnd = true;
    ExprPtr a, b;
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s);
        if (isAnd && x.type == Value::Int && !x.i) return Value::integer(0);
        if (!isAnd && isTrue(x)) return Value::integer(1);
        Value y = b->eval(s);
        if (isAnd) {
            if (y.type == Value::Int && !y.i) return Value::integer(0);
            if (x.isNull() || y.isNull()) return Value();
            return Value::integer(1);
        }
        if (isTrue(y)) return Value::integer(1);
        if (x.isNull() || y.isNull()) return Value();
        return Value::integer(0);
    }
};

struct Not : Expr {
    ExprPtr a;
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s);
        if (x.isNull()) return x;
        return Value::integer(!x.i);
    }
};

struct InList : Expr {
    ExprPtr a;
    std::vector<ExprPtr> list;
    bool negated = false;
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s);
        if (x.isNull()) return Value();
        bool sawNull = false;
        for (auto& e : list) {
            Value y = e->eval(s);
            if (y.isNull()) {
                sawNull = true;
                continue;
            }
            if (compareValues(x, y) == 0) return Value::integer(!negated);
        }
        if (sawNull) return Value();
        return Value::integer(negated);
    }
};

struct Like : Expr {
    ExprPtr a, pattern;
    bool negated = false;
    static bool match(const std::string& s, size_t i, const std::string& p, size_t j) {
        while (j < p.size()) {
            char c = p[j];
            if (c == '%') {
                for (size_t k = i; k <= s.size(); ++k)
                    if (match(s, k, p, j + 1)) return true;
                return false;
            }
            if (i >= s.size()) return false;
            if (c == '[') {
                size_t close = p.find(']', j + 1);
                if (close != std::string::npos) {
                    std::string set = p.substr(j + 1, close - j - 1);
                    bool neg = !set.empty() && set[0] == '^';
                    if (neg) set.erase(0, 1);
                    bool found = false;
                    for (size_t k = 0; k < set.size(); ++k) {
                        if (k + 2 < set.size() && set[k + 1] == '-') {
                            char lo = static_cast<char>(std::tolower(set[k])),
                                 hi = static_cast<char>(std::tolower(set[k + 2]));
                            char ch = static_cast<char>(std::tolower(s[i]));
                            found = found || (ch >= lo && ch <= hi);
                            k += 2;
                        } else {
                            found = found || std::tolower(set[k]) == std::tolower(s[i]);
                        }
                    }
                    if (found == neg) return false;
                    ++i;
                    j = close + 1;
                    continue;
                }
            }
            if (c != '_' &&
                std::tolower(static_cast<unsigned char>(c)) != std::tolower(static_cast<unsigned char>(s[i])))
                return false;
            ++i;
            ++j;
        }
        return i == s.size();
    }
    Value eval(EvalScope& s) const override {
        Value x = a->eval(s), p = pattern->eval(s);
        if (x.isNull() || p.isNull()) return Value();
        std::string text = x.type == Value::Int ? std::to_string(x.i) : x.s;
        return Value::integer(match(text, 0, p.s, 0) != negated);
    }
};

struct CaseExpr : Expr {
    std::vector<std::pair<ExprPtr, ExprPtr>> whens;
    ExprPtr otherwise;
    Value eval(EvalScope& s) const override {
        for (auto& [c, v] : whens)
            if (isTrue(c->eval(s))) return v->eval(s);
        return otherwise ? otherwise->eval(s) : Value();
    }
};

struct CastExpr : Expr {
    ExprPtr a;
    DataType t;
    Value eval(EvalScope& s) const override { return convertTo(a->eval(s), t); }
};

class SelectQuery;
struct ExistsExpr : Expr {
    std::shared_ptr<SelectQuery> q;
    Value eval(EvalScope& s) const override;
};

struct Call : Expr {
    std::string name;  // upper-case
    std::vector<ExprPtr> args;
    Value arg(EvalScope& s, size_t i) const { return args[i]->eval(s); }
    Value eval(EvalScope& s) const override;
};

std::string asText(const Value& v) { return v.type == Value::Int ? std::to_string(v.i) : v.s; }

int64_t asInt(const Value& v) { return v.type == Value::Int ? v.i : textToInt(v); }

Value sameKind(const Value& like, std::string s) {
    return Value::string(std::move(s), like.unicode, like.maxLen == -1 ? -1 : 0);
}

Value parseName(const std::string& full, int64_t part) {
    // Splits an object name of up to four parts; [bracketed] parts may hold dots.
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < full.size(); ++i) {
        char c = full[i];
        if (c == '[') {
            size_t j = i + 1;
            std::string v;
            for (;;) {
                if (j >= full.size()) return Value();
                if (full[j] == ']') {
                    if (j + 1 < full.size() && full[j + 1] == ']') {
                        v += ']';
                        j += 2;
                        continue;
                    }
                    break;
                }
                v += full[j++];
            }
            cur += v;
            i = j;
        } else if (c == '.') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    if (parts.size() > 4 || part < 1 || part > 4) return Value();
    if (static_cast<size_t>(part) > parts.size()) return Value();
    const std::string& p = parts[parts.size() - static_cast<size_t>(part)];
    if (p.empty()) return Value();
    return Value::string(p, true, 128);
}

Value Call::eval(EvalScope& s) const {
    if (name == "ISNULL") {
        Value a = arg(s, 0);
        if (!a.isNull()) return a;
        Value b = arg(s, 1);
        if (a.type == Value::Str && b.type == Value::Str && a.maxLen > 0 && b.s.size() > static_cast<size_t>(a.maxLen))
            b.s.resize(static_cast<size_t>(a.maxLen));
        return b;
    }
    if (name == "COALESCE") {
        for (size_t i = 0; i < args.size(); ++i) {
            Value v = arg(s, i);
            if (!v.isNull()) return v;
        }
        return Value();
    }
    if (name == "SERVERPROPERTY") {
        Value p = arg(s, 0);
        if (p.isNull()) return Value();
        return serverProperty(s.x, asText(p));
    }
    if (name == "DB_NAME") {
        if (args.empty()) return Value::string(s.x.session().database(), true, 128);
        int64_t id = asInt(arg(s, 0));
        static const char* sys[] = {"", "master", "tempdb", "model", "msdb"};
        if (id >= 1 && id <= 4) return Value::string(sys[id], true, 128);
        for (auto& d : s.x.instanceInfo().databases)
            if (d.id == id) return Value::string(d.name, true, 128);
        return Value();
    }
    if (name == "DB_ID") {
        std::string n = args.empty() ? s.x.session().database() : asText(arg(s, 0));
        static const char* sys[] = {"master", "tempdb", "model", "msdb"};
        for (int i = 0; i < 4; ++i)
            if (compareText(n, sys[i]) == 0) return Value::integer(i + 1);
        if (auto* d = s.x.instanceInfo().findDatabase(n)) return Value::integer(d->id);
        return Value();
    }
    std::vector<Value> v;
    for (size_t i = 0; i < args.size(); ++i) v.push_back(arg(s, i));
    if (name == "CONCAT") {
        std::string r;
        bool uni = false, max = false;
        for (auto& x : v) {
            if (!x.isNull()) r += asText(x);
            uni = uni || x.unicode;
            max = max || x.maxLen == -1;
        }
        return capString(Value::string(r, uni, max ? -1 : 0));
    }
    for (auto& x : v)
        if (x.isNull()) {
            Value r;
            r.unicode = !v.empty() && v[0].unicode;
            return r;
        }
    if (name == "PARSENAME") return parseName(asText(v[0]), asInt(v[1]));
    if (name == "CHAR" || name == "NCHAR") {
        int64_t c = asInt(v[0]);
        if (c < 0 || c > 255) return Value();
        return Value::string(std::string(1, static_cast<char>(c)), name == "NCHAR", 1);
    }
    if (name == "ASCII") {
        std::string t = asText(v[0]);
        return t.empty() ? Value() : Value::integer(static_cast<unsigned char>(t[0]));
    }
    if (name == "SPACE") {
        int64_t n = asInt(v[0]);
        return n < 0 ? Value() : Value::string(std::string(static_cast<size_t>(std::min<int64_t>(n, 8000)), ' '));
    }
    if (name == "REPLICATE") {
        int64_t n = asInt(v[1]);
        if (n < 0) return Value();
        std::string t = asText(v[0]), r;
        size_t cap = v[0].maxLen == -1 ? (size_t{1} << 30) : 8000;
        for (int64_t i = 0; i < n && r.size() < cap; ++i) r += t;
        if (r.size() > cap) r.resize(cap);
        return capString(Value::string(r, v[0].unicode, v[0].maxLen == -1 ? -1 : 0));
    }
    if (name == "DATALENGTH") {
        if (v[0].type == Value::Int) return Value::integer(4);
        return Value::integer(static_cast<int64_t>(v[0].s.size() * (v[0].unicode ? 2 : 1)));
    }
    if (name == "RTRIM") {
        std::string t = asText(v[0]);
        while (!t.empty() && t.back() == ' ') t.pop_back();
        return sameKind(v[0], t);
    }
    if (name == "LTRIM") {
        std::string t = asText(v[0]);
        size_t k = 0;
        while (k < t.size() && t[k] == ' ') ++k;
        return sameKind(v[0], t.substr(k));
    }
    if (name == "UPPER") return sameKind(v[0], upper(asText(v[0])));
    if (name == "LOWER") return sameKind(v[0], lower(asText(v[0])));
    if (name == "REVERSE") {
        std::string t = asText(v[0]);
        std::reverse(t.begin(), t.end());
        return sameKind(v[0], t);
    }
    if (name == "LEN") {
        std::string t = asText(v[0]);
        while (!t.empty() && t.back() == ' ') t.pop_back();
        return Value::integer(static_cast<int64_t>(t.size()));
    }
    if (name == "RIGHT" || name == "LEFT") {
        int64_t n = asInt(v[1]);
        if (n < 0)
            throw SqlError(536, 16, 1,
                           std::string("Invalid length parameter passed to the ") +
                               (name == "RIGHT" ? "right" : "left") + " function.");
        std::string t = asText(v[0]);
        size_t k = std::min<size_t>(static_cast<size_t>(n), t.size());
        return sameKind(v[0], name == "RIGHT" ? t.substr(t.size() - k) : t.substr(0, k));
    }
    if (name == "SUBSTRING") {
        std::string t = asText(v[0]);
        int64_t start = asInt(v[1]), len = asInt(v[2]);
        if (len < 0) throw SqlError(537, 16, 1, "Invalid length parameter passed to the LEFT or SUBSTRING function.");
        int64_t from = std::max<int64_t>(start, 1),
                to = std::min<int64_t>(start + len, static_cast<int64_t>(t.size()) + 1);
        if (to <= from) return sameKind(v[0], "");
        return sameKind(v[0], t.substr(static_cast<size_t>(from - 1), static_cast<size_t>(to - from)));
    }
    if (name == "CHARINDEX") {
        std::string needle = asText(v[0]), hay = asText(v[1]);
        int64_t start = v.size() > 2 ? asInt(v[2]) : 1;
        if (start < 1) start = 1;
        if (needle.empty()) return Value::integer(0);
        size_t at = static_cast<size_t>(start - 1) > hay.size() ? std::string::npos
                                                                : findText(hay, needle, static_cast<size_t>(start - 1));
        return Value::integer(at == std::string::npos ? 0 : static_cast<int64_t>(at) + 1);
    }
    if (name == "REPLACE") {
        std::string t = asText(v[0]), from = asText(v[1]), to = asText(v[2]);
        bool uni = v[0].unicode || v[1].unicode || v[2].unicode;
        if (!from.empty()) {
            std::string r;
            size_t pos = 0;
            for (;;) {
                size_t at = findText(t, from, pos);
                if (at == std::string::npos) break;
                r.append(t, pos, at - pos);
                r += to;
                pos = at + from.size();
            }
            r.append(t, pos, std::string::npos);
            t = r;
        }
        return capString(Value::string(t, uni, v[0].maxLen == -1 ? -1 : 0));
    }
    throw SqlError(195, 15, 10, "'" + name + "' is not a recognized built-in function name.", true);
}

// ---- SELECT ----

struct SelectItem {
    std::string assignTo;  // variable key, when the item assigns
    const DataType* type = nullptr;
    DataType typeCopy;
    ExprPtr expr;
    std::string alias;
    bool star = false;
};

struct OrderItem {
    ExprPtr expr;
    bool desc = false;
};

class SelectQuery {
public:
    std::vector<SelectItem> items;
    bool hasFrom = false;
    ObjectName from;
    ExprPtr where;
    std::vector<OrderItem> order;
    int64_t top = -1;

    bool assigns() const { return !items.empty() && !items[0].assignTo.empty(); }

    // Rows of the source that pass WHERE, sorted; a query without FROM has one empty row.
    std::vector<std::vector<Value>> sourceRows(Exec& x, Table& t) const {
        std::vector<std::vector<Value>> rows;
        if (!hasFrom) {
            EvalScope s{x};
            if (!where || isTrue(where->eval(s))) rows.emplace_back();
            return rows;
        }
        if (!catalogueTable(x, from, t)) throw SqlError(208, 16, 1, "Invalid object name '" + from.text + "'.", true);
        for (auto& r : t.rows) {
            if (where) {
                TableRow row{&t.columns, &r};
                EvalScope s{x, &row};
                if (!isTrue(where->eval(s))) continue;
            }
            rows.push_back(r);
        }
        if (!order.empty()) {
            std::vector<std::pair<std::vector<Value>, size_t>> keyed;
            for (size_t i = 0; i < rows.size(); ++i) {
                TableRow row{&t.columns, &rows[i]};
                EvalScope s{x, &row};
                std::vector<Value> key;
                for (auto& o : order) key.push_back(o.expr->eval(s));
                keyed.emplace_back(std::move(key), i);
            }
            std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
                for (size_t k = 0; k < order.size(); ++k) {
                    const Value &p = a.first[k], &q = b.first[k];
                    int c = p.isNull() ? (q.isNull() ? 0 : -1) : q.isNull() ? 1 : compareValues(p, q);
                    if (c != 0) return order[k].desc ? c > 0 : c < 0;
                }
                return false;
            });
            std::vector<std::vector<Value>> sorted;
            for (auto& k : keyed) sorted.push_back(std::move(rows[k.second]));
            rows.swap(sorted);
        }
        if (top >= 0 && rows.size() > static_cast<size_t>(top)) rows.resize(static_cast<size_t>(top));
        return rows;
    }

    bool any(Exec& x) const {
        Table t;
        return !sourceRows(x, t).empty();
    }

    // The retrieved rows (values) and their column names.
    std::vector<std::vector<Value>> retrieve(Exec& x, std::vector<std::string>& columns) const {
        Table t;
        auto rows = sourceRows(x, t);
        columns.clear();
        for (auto& it : items) {
            if (it.star) {
                if (!hasFrom) throw SqlError(263, 16, 1, "Must specify table to select from.", true);
                for (auto& c : t.columns) columns.push_back(c);
            } else {
                columns.push_back(it.alias);
            }
        }
        std::vector<std::vector<Value>> out;
        for (auto& r : rows) {
            TableRow row{&t.columns, &r};
            EvalScope s{x, hasFrom ? &row : nullptr};
            std::vector<Value> vals;
            for (auto& it : items) {
                if (it.star)
                    vals.insert(vals.end(), r.begin(), r.end());
                else
                    vals.push_back(it.expr->eval(s));
            }
            out.push_back(std::move(vals));
        }
        return out;
    }

    void run(Exec& x) const {
        if (assigns()) {
            Table t;
            auto rows = sourceRows(x, t);
            for (auto& r : rows) {
                TableRow row{&t.columns, &r};
                EvalScope s{x, hasFrom ? &row : nullptr};
                for (auto& it : items) {
                    Value v = convertTo(it.expr->eval(s), it.typeCopy);
                    x.variables()[it.assignTo] = std::make_shared<Value>(v);
                }
            }
            return;
        }
        ResultSet rs;
        auto rows = retrieve(x, rs.columns);
        for (size_t u = 0; u < unions.size(); ++u) {
            std::vector<std::string> cols;
            auto more = unions[u]->retrieve(x, cols);
            if (cols.size() != rs.columns.size())
                throw SqlError(205, 16, 1,
                               "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal "
                               "number of expressions in their target lists.",
                               true);
            rows.insert(rows.end(), more.begin(), more.end());
            if (!unionAll[u]) {  // UNION without ALL: no duplicate rows
                std::vector<std::vector<Value>> uniq;
                for (auto& r : rows) {
                    bool dup = false;
                    for (auto& q : uniq) {
                        bool same = true;
                        for (size_t c = 0; c < r.size() && same; ++c)
                            same = r[c].isNull() == q[c].isNull() && (r[c].isNull() || compareValues(r[c], q[c]) == 0);
                        dup = dup || same;
                    }
                    if (!dup) uniq.push_back(r);
                }
                rows.swap(uniq);
            }
        }
        if (!unionOrder.empty()) {
            // ORDER BY of a union names the result's columns.
            std::vector<std::pair<std::vector<Value>, size_t>> keyed;
            for (size_t i = 0; i < rows.size(); ++i) {
                TableRow row{&rs.columns, &rows[i]};
                EvalScope s{x, &row};
                std::vector<Value> key;
                for (auto& o : unionOrder) key.push_back(o.expr->eval(s));
                keyed.emplace_back(std::move(key), i);
            }
            std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
                for (size_t k = 0; k < unionOrder.size(); ++k) {
                    const Value &p = a.first[k], &q = b.first[k];
                    int c = p.isNull() ? (q.isNull() ? 0 : -1) : q.isNull() ? 1 : compareValues(p, q);
                    if (c != 0) return unionOrder[k].desc ? c > 0 : c < 0;
                }
                return false;
            });
            std::vector<std::vector<Value>> sorted;
            for (auto& k : keyed) sorted.push_back(rows[k.second]);
            rows.swap(sorted);
        }
        for (auto& r : rows) {
            std::vector<std::optional<std::string>> out;
            for (auto& v : r) out.push_back(v.text());
            rs.rows.push_back(std::move(out));
        }
        x.results(std::move(rs));
    }

    std::vector<std::shared_ptr<SelectQuery>> unions;
    std::vector<bool> unionAll;
    std::vector<OrderItem> unionOrder;
};

Value ExistsExpr::eval(EvalScope& s) const { return Value::integer(q->any(s.x)); }

// ---- statements ----

struct SelectStmt : Statement {
    std::shared_ptr<SelectQuery> q;
    void execute(Exec& x) override { q->run(x); }
};

struct DeclareStmt : Statement {
    struct Var {
        std::string key;
        DataType type;
        ExprPtr init;
    };
    std::vector<Var> vars;
    void execute(Exec& x) override {
        for (auto& v : vars) {
            Value val;
            if (v.init) {
                EvalScope s{x};
                val = convertTo(v.init->eval(s), v.type);
            }
            x.variables()[v.key] = std::make_shared<Value>(val);
        }
    }
};

struct SetStmt : Statement {
    std::string key;
    DataType type;
    ExprPtr expr;
    void execute(Exec& x) override {
        EvalScope s{x};
        x.variables()[key] = std::make_shared<Value>(convertTo(expr->eval(s), type));
    }
};

struct NoOpStmt : Statement {
    void execute(Exec&) override {}
};

struct PrintStmt : Statement {
    ExprPtr expr;
    void execute(Exec& x) override {
        EvalScope s{x};
        Value v = expr->eval(s);
        x.info(0, 0, 1, v.isNull() ? std::string() : asText(v));
    }
};

std::string formatRaiserror(const std::string& fmt, const std::vector<Value>& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < fmt.size() && std::strchr("-+ #0", fmt[j])) ++j;
        while (j < fmt.size() && (std::isdigit(static_cast<unsigned char>(fmt[j])) || fmt[j] == '.')) ++j;
        if (j < fmt.size() && (fmt[j] == 'l' || fmt[j] == 'h' || fmt[j] == 'I')) ++j;
        if (j >= fmt.size() || !std::strchr("disuoxX", fmt[j])) {
            out += c;
            continue;
        }
        char spec = fmt[j];
        if (next < args.size()) {
            const Value& a = args[next++];
            if (a.isNull())
                out += "(null)";
            else if (spec == 's')
                out += asText(a);
            else {
                int64_t n = asInt(a);
                char buf[32];
                if (spec == 'x' || spec == 'X')
                    std::snprintf(buf, sizeof buf, spec == 'x' ? "%llx" : "%llX",
                                  static_cast<unsigned long long>(static_cast<uint32_t>(n)));
                else if (spec == 'o')
                    std::snprintf(buf, sizeof buf, "%llo", static_cast<unsigned long long>(static_cast<uint32_t>(n)));
                else if (spec == 'u')
                    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(static_cast<uint32_t>(n)));
                else
                    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n));
                out += buf;
            }
        } else {
            out += "(null)";
        }
        i = j;
    }
    return out;
}

struct RaiserrorStmt : Statement {
    ExprPtr msg, severity, state;
    std::vector<ExprPtr> args;
    bool withLog = false;
    void execute(Exec& x) override {
        EvalScope s{x};
        Value m = msg->eval(s);
        int64_t sev = asInt(severity->eval(s));
        int64_t st = asInt(state->eval(s));
        std::vector<Value> a;
        for (auto& e : args) a.push_back(e->eval(s));
        if (sev > 18 && !withLog)
            throw SqlError(2754, 16, 1,
                           "Error severity levels greater than 18 can only be specified by members of the sysadmin "
                           "role, using the WITH LOG option.");
        if (sev < 0) sev = 0;
        if (sev > 25) sev = 25;
        if (st < 0 || st > 255) st = 1;
        std::string text = formatRaiserror(m.isNull() ? std::string() : asText(m), a);
        if (sev <= 10)
            x.info(50000, static_cast<int>(sev), static_cast<int>(st), text);
        else
            x.error(50000, static_cast<int>(sev), static_cast<int>(st), text);
    }
};

struct WaitforStmt : Statement {
    ExprPtr delay;
    void execute(Exec& x) override {
        EvalScope s{x};
        Value v = delay->eval(s);
        std::string t = v.isNull() ? std::string() : asText(v);
        auto bad = [&] {
            throw SqlError(148, 15, 1, "Incorrect time syntax in time string '" + t + "' used with WAITFOR.");
        };
        // hh:mm[:ss[.mmm]]
        int part[3] = {0, 0, 0};
        int count = 0;
        long ms = 0;
        size_t i = 0;
        while (count < 3) {
            size_t st = i;
            int val = 0;
            while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) val = val * 10 + (t[i++] - '0');
            if (i == st || i - st > 2) bad();
            part[count++] = val;
            if (i < t.size() && t[i] == ':') {
                ++i;
                continue;
            }
            break;
        }
        if (count < 2) bad();
        if (i < t.size() && t[i] == '.' && count == 3) {
            ++i;
            size_t st = i;
            long frac = 0, scale = 1;
            while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])) && i - st < 3) {
                frac = frac * 10 + (t[i++] - '0');
                scale *= 10;
            }
            if (i == st) bad();
            ms = frac * 1000 / scale;
        }
        if (i != t.size() || part[0] > 23 || part[1] > 59 || part[2] > 59) bad();
        long total = ((part[0] * 60L + part[1]) * 60L + part[2]) * 1000L + ms;
        x.sleepFor(std::chrono::milliseconds(total));
    }
};

struct IfStmt : Statement {
    ExprPtr cond;
    std::unique_ptr<Statement> then, otherwise;
    void execute(Exec& x) override {
        EvalScope s{x};
        if (isTrue(cond->eval(s)))
            runStatement(x, *then);
        else if (otherwise)
            runStatement(x, *otherwise);
    }
};

struct BlockStmt : Statement {
    std::vector<std::unique_ptr<Statement>> body;
    void execute(Exec& x) override {
        for (auto& b : body) {
            if (x.cancelled()) return;
            runStatement(x, *b);
        }
    }
};

}  // namespace

void runStatement(Exec& x, Statement& s) {
    try {
        s.execute(x);
    } catch (SqlError& e) {
        if (e.abortBatch) throw;
        x.error(e.record);
    }
}

// ---- parser ----

namespace {
[[noreturn]] void nestedTooDeeply() {
    throw SqlError(
        191, 15, 1,
        "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries.",
        true);
}
}  // namespace

Parser::Depth::Depth(Parser& p) : p_(p) {
    if (++p_.depth_ > 200) {
        --p_.depth_;
        nestedTooDeeply();
    }
}

Parser::Parser(std::vector<Token> tokens) : toks_(std::move(tokens)) {
    if (toks_.empty() || toks_.back().kind != Token::End) toks_.push_back(Token{});
}

const Token& Parser::peek(size_t ahead) const {
    size_t i = std::min(pos_ + ahead, toks_.size() - 1);
    return toks_[i];
}

const Token& Parser::next() {
    const Token& t = toks_[std::min(pos_, toks_.size() - 1)];
    if (pos_ < toks_.size() - 1) ++pos_;
    return t;
}

bool Parser::isKeyword(const char* kw, size_t ahead) const {
    const Token& t = peek(ahead);
    return t.kind == Token::Word && compareText(t.text, kw) == 0 && t.text.size() == std::strlen(kw);
}

bool Parser::acceptKeyword(const char* kw) {
    if (!isKeyword(kw)) return false;
    next();
    return true;
}

void Parser::expectKeyword(const char* kw) {
    if (!acceptKeyword(kw)) fail();
}

bool Parser::isSymbol(const char* sym, size_t ahead) const {
    const Token& t = peek(ahead);
    return t.kind == Token::Symbol && t.text == sym;
}

bool Parser::acceptSymbol(const char* sym) {
    if (!isSymbol(sym)) return false;
    next();
    return true;
}

void Parser::expectSymbol(const char* sym) {
    if (!acceptSymbol(sym)) fail();
}

void Parser::fail() const {
    if (peek().kind == Token::End) {
        if (pos_ == 0) syntaxError("");
        failAt(toks_[pos_ - 1]);
    }
    failAt(peek());
}

void Parser::failAt(const Token& t) const {
    // The server names a string or a quoted name by its content.
    syntaxError(t.kind == Token::String || t.kind == Token::QuotedName ? t.value : t.text);
}

std::string Parser::name() {
    const Token& t = peek();
    if (t.kind == Token::QuotedName || (t.kind == Token::Word && !isReservedWord(t.text))) {
        next();
        return t.value;
    }
    fail();
}

ObjectName Parser::objectName() {
    ObjectName n;
    size_t startOffset = peek().offset;
    const Token* last = nullptr;
    n.parts.push_back(name());
    last = &toks_[pos_ - 1];
    while (isSymbol(".")) {
        next();
        last = &toks_[pos_ - 1];
        if (isSymbol(".")) {
            n.parts.emplace_back();
            continue;
        }
        n.parts.push_back(name());
        last = &toks_[pos_ - 1];
    }
    if (n.parts.size() > 4) failAt(*last);
    // The name as written, from its first to its last token.
    size_t endOffset = last->offset + last->text.size();
    std::string text;
    for (size_t i = 0; i < toks_.size(); ++i)
        if (toks_[i].offset >= startOffset && toks_[i].offset < endOffset && toks_[i].kind != Token::End)
            text += toks_[i].text;
    n.text = text;
    return n;
}

std::string Parser::stringLiteral() {
    if (peek().kind != Token::String) fail();
    return next().value;
}

int64_t Parser::integer() {
    bool neg = false;
    if (isSymbol("-") || isSymbol("+")) neg = next().text == "-";
    const Token& t = peek();
    if (t.kind != Token::Number || t.text.find('.') != std::string::npos) fail();
    if (t.text.size() > 18) fail();
    next();
    int64_t v = std::stoll(t.text);
    return neg ? -v : v;
}

DataType Parser::dataType() {
    const Token& t = peek();
    if (t.kind != Token::Word && t.kind != Token::QuotedName) fail();
    std::string n = upper(t.value);
    DataType d;
    static const auto* kinds = new std::map<std::string, DataType::Kind>{
        {"INT", DataType::Int},           {"INTEGER", DataType::Int},       {"BIGINT", DataType::BigInt},
        {"SMALLINT", DataType::SmallInt}, {"TINYINT", DataType::TinyInt},   {"BIT", DataType::Bit},
        {"VARCHAR", DataType::Varchar},   {"NVARCHAR", DataType::NVarchar}, {"CHAR", DataType::Char},
        {"NCHAR", DataType::NChar},       {"SYSNAME", DataType::NVarchar}};
    auto it = kinds->find(n);
    if (it == kinds->end())
        throw SqlError(2715, 16, 6, "Column, parameter, or variable #1: Cannot find data type " + t.value + ".", true);
    next();
    d.kind = it->second;
    if (n == "SYSNAME") {
        d.length = 128;
        return d;
    }
    if (d.isString()) {
        d.length = 1;
        if (acceptSymbol("(")) {
            if (acceptKeyword("MAX")) {
                if (d.kind == DataType::Char || d.kind == DataType::NChar) failAt(toks_[pos_ - 1]);
                d.length = -1;
            } else {
                const Token& lenTok = peek();
                int64_t len = integer();
                int64_t cap = (d.kind == DataType::NVarchar || d.kind == DataType::NChar) ? 4000 : 8000;
                if (len < 1 || len > cap)
                    throw SqlError(2717, 16, 2,
                                   "The size (" + lenTok.text + ") given to the type '" + lower(n) +
                                       "' exceeds the maximum allowed (" + std::to_string(cap) + ").",
                                   true);
                d.length = static_cast<int>(len);
            }
            expectSymbol(")");
        }
    }
    return d;
}

void Parser::declareVariable(const Token& at, const std::string& nm, const DataType& type) {
    std::string key = lower(nm);
    if (declared_.count(key))
        throw SqlError(
            134, 15, 1,
            "The variable name '" + nm +
                "' has already been declared. Variable names must be unique within a query batch or stored procedure.",
            true);
    declared_[key] = type;
}

const DataType* Parser::variableType(const std::string& nm) const {
    auto it = declared_.find(lower(nm));
    return it == declared_.end() ? nullptr : &it->second;
}

std::string Parser::variable() {
    const Token& t = peek();
    if (t.kind != Token::Variable || t.text.rfind("@@", 0) == 0) fail();
    if (!variableType(t.text)) throw SqlError(137, 15, 2, "Must declare the scalar variable \"" + t.text + "\".", true);
    next();
    return lower(t.text);
}

std::unique_ptr<Expr> Parser::expression() { return additive(); }

std::unique_ptr<Expr> Parser::condition() { return orExpr(); }

std::unique_ptr<Expr> Parser::orExpr() {
    Depth guard(*this);
    auto a = andExpr();
    while (acceptKeyword("OR")) {
        auto l = std::make_unique<Logic>();
        l->isAnd = false;
        l->a = std::move(a);
        l->b = andExpr();
        a = std::move(l);
    }
    return a;
}

std::unique_ptr<Expr> Parser::andExpr() {
    auto a = notExpr();
    while (acceptKeyword("AND")) {
        auto l = std::make_unique<Logic>();
        l->a = std::move(a);
        l->b = notExpr();
        a = std::move(l);
    }
    return a;
}

std::unique_ptr<Expr> Parser::notExpr() {
    if (acceptKeyword("NOT")) {
        auto n = std::make_unique<Not>();
        n->a = notExpr();
        return n;
    }
    return predicate();
}

namespace {
std::shared_ptr<SelectQuery> parseSelect(Parser& p, bool inSubquery);
}

std::unique_ptr<Expr> Parser::predicate() {
    if (isKeyword("EXISTS")) {
        next();
        expectSymbol("(");
        auto e = std::make_unique<ExistsExpr>();
        e->q = parseSelect(*this, true);
        expectSymbol(")");
        return e;
    }
    if (isSymbol("(")) {
        // A parenthesised condition, or an expression that starts with a parenthesis.
        size_t save = pos_;
        try {
            next();
            auto c = condition();
            expectSymbol(")");
            static const char* ops[] = {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>", "+", "-", "*", "/", "%"};
            bool more = isKeyword("IS") || isKeyword("LIKE") || isKeyword("IN") ||
                        (isKeyword("NOT") && (isKeyword("LIKE", 1) || isKeyword("IN", 1)));
            for (auto* op : ops) more = more || isSymbol(op);
            if (!more) return c;
        } catch (SqlError& e) {
            if (e.record.native == 191) throw;
        }
        pos_ = save;
        if (++retries_ > 10000) nestedTooDeeply();
    }
    auto a = expression();
    if (acceptKeyword("IS")) {
        auto n = std::make_unique<IsNull>();
        n->negated = acceptKeyword("NOT");
        expectKeyword("NULL");
        n->a = std::move(a);
        return n;
    }
    bool negated = false;
    if (isKeyword("NOT") && (isKeyword("LIKE", 1) || isKeyword("IN", 1))) {
        next();
        negated = true;
    }
    if (acceptKeyword("LIKE")) {
        auto l = std::make_unique<Like>();
        l->negated = negated;
        l->a = std::move(a);
        l->pattern = expression();
        return l;
    }
    if (acceptKeyword("IN")) {
        auto in = std::make_unique<InList>();
        in->negated = negated;
        in->a = std::move(a);
        expectSymbol("(");
        do in->list.push_back(expression());
        while (acceptSymbol(","));
        expectSymbol(")");
        return in;
    }
    static const char* ops[] = {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"};
    for (auto* op : ops) {
        if (isSymbol(op)) {
            next();
            auto c = std::make_unique<Compare>();
            c->op = op;
            c->a = std::move(a);
            c->b = expression();
            return c;
        }
    }
    fail();
}

std::unique_ptr<Expr> Parser::additive() {
    auto a = multiplicative();
    while (isSymbol("+") || isSymbol("-")) {
        auto b = std::make_unique<Binary>();
        b->op = next().text;
        b->a = std::move(a);
        b->b = multiplicative();
        a = std::move(b);
    }
    return a;
}

std::unique_ptr<Expr> Parser::multiplicative() {
    auto a = unary();
    while (isSymbol("*") || isSymbol("/") || isSymbol("%")) {
        auto b = std::make_unique<Binary>();
        b->op = next().text;
        b->a = std::move(a);
        b->b = unary();
        a = std::move(b);
    }
    return a;
}

std::unique_ptr<Expr> Parser::unary() {
    Depth guard(*this);
    if (acceptSymbol("-")) {
        auto n = std::make_unique<Negate>();
        n->a = unary();
        return n;
    }
    if (acceptSymbol("+")) return unary();
    return primary();
}

std::unique_ptr<Expr> Parser::primary() {
    const Token& t = peek();
    switch (t.kind) {
        case Token::Number: {
            if (t.text.find('.') != std::string::npos || t.text.size() > 18) fail();
            next();
            return std::make_unique<Literal>(Value::integer(std::stoll(t.text)));
        }
        case Token::String: {
            next();
            int max =
                static_cast<int>(t.value.size()) > (t.unicode ? 4000 : 8000) ? -1 : static_cast<int>(t.value.size());
            return std::make_unique<Literal>(Value::string(t.value, t.unicode, max));
        }
        case Token::Variable: {
            if (t.text.rfind("@@", 0) == 0) {
                next();
                auto g = std::make_unique<GlobalVar>();
                g->name = upper(t.text);
                return g;
            }
            auto v = std::make_unique<VarRef>();
            v->key = variable();
            return v;
        }
        case Token::Symbol:
            if (t.text == "(") {
                next();
                auto e = expression();
                expectSymbol(")");
                return e;
            }
            fail();
        case Token::Word:
        case Token::QuotedName: {
            if (t.kind == Token::Word) {
                if (isKeyword("NULL")) {
                    next();
                    return std::make_unique<Literal>(Value());
                }
                if (isKeyword("CASE")) {
                    next();
                    auto c = std::make_unique<CaseExpr>();
                    if (!isKeyword("WHEN")) fail();
                    while (acceptKeyword("WHEN")) {
                        auto cond = condition();
                        expectKeyword("THEN");
                        auto val = expression();
                        c->whens.emplace_back(std::move(cond), std::move(val));
                    }
                    if (acceptKeyword("ELSE")) c->otherwise = expression();
                    expectKeyword("END");
                    return c;
                }
                if (isKeyword("CAST")) {
                    next();
                    expectSymbol("(");
                    auto c = std::make_unique<CastExpr>();
                    c->a = expression();
                    expectKeyword("AS");
                    c->t = dataType();
                    if (c->t.isString() && c->t.length == 1 && !isSymbol(")")) fail();
                    expectSymbol(")");
                    return c;
                }
                if (isKeyword("CONVERT")) {
                    next();
                    expectSymbol("(");
                    auto c = std::make_unique<CastExpr>();
                    c->t = dataType();
                    expectSymbol(",");
                    c->a = expression();
                    expectSymbol(")");
                    return c;
                }
                if (isSymbol("(", 1)) {
                    const Token& at = next();
                    return functionCall(upper(at.text), at);
                }
                if (isReservedWord(t.text)) fail();
            }
            // A column, possibly qualified (alias.column).
            auto col = std::make_unique<ColumnRef>();
            next();
            col->name = t.value;
            col->text = t.value;
            while (isSymbol(".") && (peek(1).kind == Token::Word || peek(1).kind == Token::QuotedName)) {
                next();
                col->name = next().value;
                col->text = col->name;
            }
            return col;
        }
        default: fail();
    }
}

std::unique_ptr<Expr> Parser::functionCall(const std::string& fname, const Token& at) {
    static const auto* arity = new std::map<std::string, std::pair<int, int>>{
        {"ISNULL", {2, 2}},    {"COALESCE", {2, 99}}, {"SERVERPROPERTY", {1, 1}}, {"PARSENAME", {2, 2}},
        {"RTRIM", {1, 1}},     {"LTRIM", {1, 1}},     {"UPPER", {1, 1}},          {"LOWER", {1, 1}},
        {"REVERSE", {1, 1}},   {"LEN", {1, 1}},       {"RIGHT", {2, 2}},          {"LEFT", {2, 2}},
        {"SUBSTRING", {3, 3}}, {"CHARINDEX", {2, 3}}, {"REPLACE", {3, 3}},        {"DB_NAME", {0, 1}},
        {"DB_ID", {0, 1}},     {"CHAR", {1, 1}},      {"NCHAR", {1, 1}},          {"ASCII", {1, 1}},
        {"SPACE", {1, 1}},     {"REPLICATE", {2, 2}}, {"DATALENGTH", {1, 1}},     {"CONCAT", {2, 254}}};
    auto it = arity->find(fname);
    if (it == arity->end())
        throw SqlError(195, 15, 10, "'" + at.text + "' is not a recognized built-in function name.", true);
    expectSymbol("(");
    auto c = std::make_unique<Call>();
    c->name = fname;
    if (!isSymbol(")")) {
        do c->args.push_back(expression());
        while (acceptSymbol(","));
    }
    expectSymbol(")");
    int n = static_cast<int>(c->args.size());
    if (n < it->second.first || n > it->second.second) {
        if (fname == "COALESCE") throw SqlError(189, 15, 1, "The coalesce function requires 2 to 99 arguments.", true);
        std::string count = it->second.first == it->second.second
                                ? std::to_string(it->second.first)
                                : std::to_string(it->second.first) + " to " + std::to_string(it->second.second);
        throw SqlError(174, 15, 1, "The " + lower(fname) + " function requires " + count + " argument(s).", true);
    }
    return c;
}

namespace {

std::shared_ptr<SelectQuery> parseSelectCore(Parser& p, bool inSubquery);

std::shared_ptr<SelectQuery> parseSelect(Parser& p, bool inSubquery) {
    auto q = parseSelectCore(p, inSubquery);
    while (p.isKeyword("UNION")) {
        if (q->assigns()) p.fail();
        p.next();
        q->unionAll.push_back(p.acceptKeyword("ALL"));
        auto part = parseSelectCore(p, inSubquery);
        if (part->assigns()) p.fail();
        q->unions.push_back(part);
    }
    if (p.isKeyword("ORDER")) {
        p.next();
        p.expectKeyword("BY");
        auto& target = q->unions.empty() ? q->order : q->unionOrder;
        do {
            OrderItem o;
            o.expr = p.expression();
            if (p.acceptKeyword("DESC"))
                o.desc = true;
            else
                p.acceptKeyword("ASC");
            target.push_back(std::move(o));
        } while (p.acceptSymbol(","));
    }
    return q;
}

std::shared_ptr<SelectQuery> parseSelectCore(Parser& p, bool inSubquery) {
    p.expectKeyword("SELECT");
    auto q = std::make_shared<SelectQuery>();
    if (p.acceptKeyword("TOP")) {
        bool paren = p.acceptSymbol("(");
        q->top = p.integer();
        if (paren) p.expectSymbol(")");
    }
    bool anyAssign = false, anyRetrieve = false;
    do {
        SelectItem it;
        if (p.isSymbol("*")) {
            p.next();
            it.star = true;
            anyRetrieve = true;
        } else if (p.peek().kind == Token::Variable && p.peek().text.rfind("@@", 0) != 0 && p.isSymbol("=", 1)) {
            const DataType* t = p.variableType(p.peek().text);
            it.assignTo = p.variable();
            it.typeCopy = *t;
            p.expectSymbol("=");
            it.expr = p.expression();
            anyAssign = true;
        } else {
            it.expr = p.expression();
            if (auto* col = dynamic_cast<ColumnRef*>(it.expr.get())) it.alias = col->name;  // a column keeps its name
            if (p.acceptKeyword("AS")) {
                const Token& a = p.peek();
                if (a.kind == Token::String)
                    it.alias = p.next().value;
                else
                    it.alias = p.name();
            } else if (p.peek().kind == Token::QuotedName ||
                       (p.peek().kind == Token::Word && !isReservedWord(p.peek().text)) ||
                       p.peek().kind == Token::String) {
                it.alias = p.next().value;
            }
            anyRetrieve = true;
        }
        q->items.push_back(std::move(it));
    } while (p.acceptSymbol(","));
    if (anyAssign && anyRetrieve)
        throw SqlError(141, 15, 1,
                       "A SELECT statement that assigns a value to a variable must not be combined with data-retrieval "
                       "operations.",
                       true);
    if (anyAssign && inSubquery) p.fail();
    if (p.acceptKeyword("FROM")) {
        q->hasFrom = true;
        q->from = p.objectName();
        // An optional table alias.
        if (p.acceptKeyword("AS"))
            p.name();
        else if (p.peek().kind == Token::QuotedName || (p.peek().kind == Token::Word && !isReservedWord(p.peek().text)))
            p.name();
    }
    if (p.acceptKeyword("WHERE")) {
        if (!q->hasFrom) p.failAt(p.peek(static_cast<size_t>(-1) + 0));
        q->where = p.condition();
    }
    return q;
}

}  // namespace

std::unique_ptr<Statement> Parser::builtinStatement() {
    const Token& t = peek();
    std::string k = upper(t.text);
    if (k == "SELECT") {
        auto s = std::make_unique<SelectStmt>();
        s->q = parseSelect(*this, false);
        return s;
    }
    if (k == "DECLARE") {
        next();
        auto d = std::make_unique<DeclareStmt>();
        do {
            const Token& v = peek();
            if (v.kind != Token::Variable || v.text.rfind("@@", 0) == 0) fail();
            next();
            acceptKeyword("AS");
            DeclareStmt::Var var;
            var.type = dataType();
            var.key = lower(v.text);
            if (acceptSymbol("=")) var.init = expression();
            declareVariable(v, v.text, var.type);
            d->vars.push_back(std::move(var));
        } while (acceptSymbol(","));
        return d;
    }
    if (k == "SET") {
        next();
        if (peek().kind == Token::Word && (isKeyword("NOCOUNT") || isKeyword("XACT_ABORT") || isKeyword("ANSI_NULLS") ||
                                           isKeyword("QUOTED_IDENTIFIER"))) {
            next();
            if (!acceptKeyword("ON") && !acceptKeyword("OFF")) fail();
            return std::make_unique<NoOpStmt>();
        }
        auto s = std::make_unique<SetStmt>();
        const Token& v = peek();
        s->key = variable();
        s->type = *variableType(v.text);
        expectSymbol("=");
        s->expr = expression();
        return s;
    }
    if (k == "PRINT") {
        next();
        auto s = std::make_unique<PrintStmt>();
        s->expr = expression();
        return s;
    }
    if (k == "RAISERROR") {
        next();
        auto s = std::make_unique<RaiserrorStmt>();
        expectSymbol("(");
        s->msg = expression();
        expectSymbol(",");
        s->severity = expression();
        expectSymbol(",");
        s->state = expression();
        while (acceptSymbol(",")) s->args.push_back(expression());
        expectSymbol(")");
        if (acceptKeyword("WITH")) {
            do {
                if (acceptKeyword("LOG"))
                    s->withLog = true;
                else if (!acceptKeyword("NOWAIT") && !acceptKeyword("SETERROR"))
                    fail();
            } while (acceptSymbol(","));
        }
        return s;
    }
    if (k == "WAITFOR") {
        next();
        expectKeyword("DELAY");
        auto s = std::make_unique<WaitforStmt>();
        const Token& d = peek();
        if (d.kind != Token::String && d.kind != Token::Variable) fail();
        s->delay = primary();
        return s;
    }
    if (k == "IF") {
        next();
        auto s = std::make_unique<IfStmt>();
        s->cond = condition();
        s->then = statement();
        if (!s->then) fail();
        if (acceptKeyword("ELSE")) {
            s->otherwise = statement();
            if (!s->otherwise) fail();
        }
        return s;
    }
    if (k == "BEGIN") {
        next();
        if (isKeyword("TRAN") || isKeyword("TRANSACTION")) fail();
        auto b = std::make_unique<BlockStmt>();
        for (;;) {
            while (acceptSymbol(";")) {
            }
            if (acceptKeyword("END")) break;
            if (atEnd()) fail();
            b->body.push_back(statement());
        }
        return b;
    }
    return nullptr;
}

std::unique_ptr<Statement> Parser::statement() {
    if (atEnd()) return nullptr;
    Depth guard(*this);
    const Token& t = peek();
    if (t.kind != Token::Word) fail();
    auto& reg = statementTables().parsers;
    auto it = reg.find(upper(t.text));
    if (it != reg.end()) {
        for (auto& parse : it->second) {
            size_t save = pos_;
            auto s = parse(*this);
            if (s) return s;
            pos_ = save;
        }
    }
    auto s = builtinStatement();
    if (!s) fail();
    return s;
}

// ---- catalogue tables and properties ----

namespace {

Value nchar(const std::string& s, int width) {
    std::string v = s;
    if (v.size() < static_cast<size_t>(width)) v.append(static_cast<size_t>(width) - v.size(), ' ');
    return Value::string(v, true, width);
}

Value nvarchar(const std::string& s, int width = 128) { return Value::string(s, true, width); }

bool isSystemDb(const std::string& n) {
    return compareText(n, "master") == 0 || compareText(n, "msdb") == 0 || compareText(n, "model") == 0 ||
           compareText(n, "tempdb") == 0;
}

}  // namespace

bool catalogueTable(Exec& x, const ObjectName& name, Table& out) {
    const auto& parts = name.parts;
    std::string object = lower(parts.back());
    std::string schema = parts.size() >= 2 ? lower(parts[parts.size() - 2]) : "";
    std::string db = parts.size() >= 3 ? parts[parts.size() - 3] : "";
    if (parts.size() == 4 && !parts[0].empty() && compareText(parts[0], serverProperty(x, "ServerName").s) != 0)
        return false;
    if (db.empty()) db = x.session().database();
    const InstanceInfo& in = x.instanceInfo();
    const DbInfo* info = in.findDatabase(db);
    if (!info && !isSystemDb(db)) return false;
    auto openable = [&] {
        if (info && info->state == DbState::Restoring)
            throw SqlError(927, 14, 2,
                           "Database '" + info->name + "' cannot be opened. It is in the middle of a restore.", true);
    };
    if (object == "sysfiles" && (schema.empty() || schema == "dbo" || schema == "sys")) {
        openable();
        out.columns = {"fileid", "groupid", "size", "maxsize", "growth", "status", "perf", "name", "filename"};
        if (info)
            for (auto& f : info->files)
                out.rows.push_back({Value::integer(f.fileId), Value::integer(f.groupId),
                                    Value::integer(static_cast<int64_t>(f.sizeBytes / kPageSize)), Value::integer(-1),
                                    Value::integer(10), Value::integer(f.isLog() ? 0x100042 : 0x2), Value::integer(0),
                                    nchar(f.logicalName, 128), nchar(f.physicalPath, 260)});
        return true;
    }
    if (object == "database_files" && schema == "sys") {
        openable();
        out.columns = {"file_id",       "type",  "type_desc",  "data_space_id", "name",
                       "physical_name", "state", "state_desc", "size"};
        if (info)
            for (auto& f : info->files)
                out.rows.push_back({Value::integer(f.fileId), Value::integer(f.isLog() ? 1 : 0),
                                    nvarchar(f.isLog() ? "LOG" : "ROWS", 60), Value::integer(f.groupId),
                                    nvarchar(f.logicalName), nvarchar(f.physicalPath, 260), Value::integer(0),
                                    nvarchar("ONLINE", 60),
                                    Value::integer(static_cast<int64_t>(f.sizeBytes / kPageSize))});
        return true;
    }
    if (object == "databases" && schema == "sys") {
        out.columns = {"name",           "database_id",        "state",        "state_desc",
                       "user_access",    "user_access_desc",   "is_read_only", "is_in_standby",
                       "recovery_model", "recovery_model_desc"};
        static const char* sys[] = {"master", "tempdb", "model", "msdb"};
        for (int i = 0; i < 4; ++i)
            out.rows.push_back({nvarchar(sys[i]), Value::integer(i + 1), Value::integer(0), nvarchar("ONLINE", 60),
                                Value::integer(0), nvarchar("MULTI_USER", 60), Value::integer(0), Value::integer(0),
                                Value::integer(i == 1 ? 3 : 1), nvarchar(i == 1 ? "SIMPLE" : "FULL", 60)});
        for (auto& d : in.databases) {
            bool restoring = d.state == DbState::Restoring, standby = d.state == DbState::Standby;
            out.rows.push_back({nvarchar(d.name), Value::integer(d.id), Value::integer(restoring ? 1 : 0),
                                nvarchar(restoring ? "RESTORING" : "ONLINE", 60),
                                Value::integer(d.userAccess == UserAccess::Single ? 1 : 0),
                                nvarchar(userAccessName(d.userAccess), 60), Value::integer(standby ? 1 : 0),
                                Value::integer(standby ? 1 : 0), Value::integer(1), nvarchar("FULL", 60)});
        }
        return true;
    }
    return false;
}

namespace {
std::string hostName() {
    char buf[256] = {0};
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}
}  // namespace

Value serverProperty(Exec& x, const std::string& property) {
    const InstanceInfo& in = x.instanceInfo();
    std::string p = lower(property);
    bool defaultInstance = compareText(in.name, "MSSQLSERVER") == 0;
    std::string machine = upper(hostName());
    if (p == "productversion") return nvarchar(in.version);
    if (p == "productmajorversion") return nvarchar(in.version.substr(0, in.version.find('.')));
    if (p == "productlevel") return nvarchar("RTM");
    if (p == "edition") return nvarchar("Developer Edition (64-bit)");
    if (p == "engineedition") return Value::integer(3);
    if (p == "machinename" || p == "computernamephysicalnetbios") return nvarchar(machine);
    if (p == "instancename") return defaultInstance ? Value() : nvarchar(in.name);
    if (p == "servername") return nvarchar(defaultInstance ? machine : machine + "\\" + in.name);
    if (p == "instancedefaultdatapath") return in.defaultDataPath ? nvarchar(*in.defaultDataPath, 4000) : Value();
    if (p == "instancedefaultlogpath") return in.defaultLogPath ? nvarchar(*in.defaultLogPath, 4000) : Value();
    if (p == "isclustered" || p == "ishadrenabled") return Value::integer(0);
    if (p == "collation") return nvarchar("SQL_Latin1_General_CP1_CI_AS");
    return Value();
}

// ---- batches ----

void runBatch(Exec& x, const std::string& batch) {
    std::vector<std::unique_ptr<Statement>> stmts;
    try {
        Parser p(tokenize(batch));
        for (;;) {
            while (p.acceptSymbol(";")) {
            }
            if (p.atEnd()) break;
            stmts.push_back(p.statement());
        }
    } catch (SqlError& e) {
        x.error(e.record);
        x.flush();
        return;
    } catch (std::exception& e) {
        x.error(50000, 16, 1, std::string("Internal error of the emulated server: ") + e.what());
        x.flush();
        return;
    }
    const InstanceInfo* info = nullptr;
    try {
        info = &x.instanceInfo();
    } catch (std::exception& e) {
        x.error(50000, 16, 1, std::string("The instance's catalogue cannot be read: ") + e.what());
        x.flush();
        return;
    }
    InstanceInfo faults = *info;
    if (faults.hasFault("long-message")) {
        std::string v = faults.faultValue("long-message");
        size_t len = v.empty() ? 600 : static_cast<size_t>(std::max(1L, std::strtol(v.c_str(), nullptr, 10)));
        std::string text = "A message longer than a diagnostic buffer holds:";
        while (text.size() < len) text += " 0123456789";
        text.resize(len);
        x.info(50000, 0, 1, text);
    }
    for (auto& s : stmts) {
        if (x.cancelled()) break;
        x.refreshInstanceInfo();  // each statement sees what other connections changed meanwhile
        try {
            runStatement(x, *s);
        } catch (SqlError& e) {
            x.error(e.record);
            break;
        } catch (std::exception& e) {
            x.error(50000, 16, 1, std::string("Internal error of the emulated server: ") + e.what());
            break;
        }
    }
    if (faultApplies(faults, "error-3014", batch)) {
        x.flush();
        x.error(3013, 16, 1, "RESTORE DATABASE is terminating abnormally.");
        x.error(3014, 0, 1, "RESTORE DATABASE successfully processed 0 pages in 0.001 seconds (0.000 MB/sec).",
                "01000");
    }
    x.flush();
}

}  // namespace sqlemu
