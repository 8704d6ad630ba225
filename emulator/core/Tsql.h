// The emulated server's T-SQL: lexer, values, expressions, parser, and the table of statements
// that plug in from other source files (BACKUP, RESTORE, ALTER DATABASE, ...).
//
// A batch is parsed whole before anything runs, as the server compiles it: any syntax error means
// nothing runs and the client gets native 102 "Incorrect syntax near '<token>'." (SQLSTATE 42000).
// Then the statements run in order on the batch's server thread (Session.h, Exec).
//
// Adding a statement from another source file: its parser goes into the list that file hands
// out, and the list is named once in Tsql.cpp (statementTables), which takes it in on first use,
// not from a static initialiser, so nothing depends on the order in which files are linked.
//
//   namespace {
//   struct BackupStmt : sqlemu::Statement {
//       std::string db;
//       void execute(sqlemu::Exec& x) override {
//           x.info(0, 0, 1, "10 percent processed.");          // reaches the client now
//           if (x.cancelled()) return;
//           throw sqlemu::SqlError(3013, 16, 1, "BACKUP DATABASE is terminating abnormally.");
//       }
//   };
//   std::unique_ptr<sqlemu::Statement> parseBackup(sqlemu::Parser& p) {
//       p.expectKeyword("BACKUP");
//       if (!p.acceptKeyword("DATABASE")) return nullptr;        // decline: the next parser tries
//       auto s = std::make_unique<BackupStmt>();
//       s->db = p.name();
//       ...                                                     // p.fail() on anything not accepted
//       return s;
//   }
//   }
//   std::vector<sqlemu::PluggedStatement> statementParsers() { return {{"BACKUP", parseBackup}}; }
//
// A statement parser is called with peek() at its keyword. It consumes its statement's tokens up to
// (not including) an optional ";" and returns the statement, or returns nullptr without having
// failed to let the next parser registered for that keyword try (the position is restored).
// It reports a syntax error with Parser::fail(), which throws. Plugged-in keywords become reserved
// words (never taken as a column alias). The tables are never destroyed (the driver stays loaded
// past the application's statics).
//
// Built in: DECLARE, SET, SELECT (expressions, variable assignment, FROM a catalogue table with
// WHERE and ORDER BY), IF [NOT] ... [ELSE ...], BEGIN ... END, PRINT, RAISERROR, WAITFOR DELAY.
// Catalogue tables: <db>..sysfiles (also <db>.dbo.sysfiles), sys.databases, <db>.sys.database_files.
#pragma once

#include "emulator/core/Session.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sqlemu {

struct Token {
    enum Kind { End, Word, QuotedName, Variable, String, Number, Symbol };
    Kind kind = End;
    std::string text;      // as written in the batch
    std::string value;     // decoded: a name without brackets, a string without quotes
    bool unicode = false;  // N'...'
    size_t offset = 0;     // in the batch
};

// Splits a batch into tokens; throws SqlError for an unclosed quote or bracket.
std::vector<Token> tokenize(const std::string& batch);

struct Value {
    enum Type { Null, Int, Str };
    Type type = Null;
    int64_t i = 0;
    std::string s;
    bool unicode = false;  // nvarchar / nchar
    int maxLen = 0;        // the string type's length: 0 = not fixed, -1 = max

    static Value null() { return {}; }
    static Value integer(int64_t v) {
        Value x;
        x.type = Int;
        x.i = v;
        return x;
    }
    static Value string(std::string v, bool unicode = false, int maxLen = 0) {
        Value x;
        x.type = Str;
        x.s = std::move(v);
        x.unicode = unicode;
        x.maxLen = maxLen;
        return x;
    }
    bool isNull() const { return type == Null; }
    // The value as the client receives it (nullopt for NULL).
    std::optional<std::string> text() const;
};

struct DataType {
    enum Kind { Int, BigInt, SmallInt, TinyInt, Bit, Varchar, NVarchar, Char, NChar };
    Kind kind = Int;
    int length = 0;  // for string kinds; -1 = max
    bool isString() const { return kind >= Varchar; }
};

// Converts a value to a type as CAST does (string lengths cut, text to number or SqlError 245).
Value convertTo(const Value& v, const DataType& t);

// A row of a catalogue table while an expression looks at it.
struct TableRow {
    const std::vector<std::string>* columns = nullptr;
    const std::vector<Value>* values = nullptr;
};

struct EvalScope {
    Exec& x;
    const TableRow* row = nullptr;
};

class Expr {
public:
    virtual ~Expr() = default;
    virtual Value eval(EvalScope& scope) const = 0;
};

// A search condition is an Expr whose value is Int 1 (true), Int 0 (false) or Null (unknown).
bool isTrue(const Value& v);

class Statement {
public:
    virtual ~Statement() = default;
    virtual void execute(Exec& x) = 0;
};

struct ObjectName {
    std::vector<std::string> parts;  // as written, empty parts for "a..b"
    std::string text;                // as written in the batch
};

class Parser {
public:
    explicit Parser(std::vector<Token> tokens);

    const Token& peek(size_t ahead = 0) const;
    const Token& next();
    bool atEnd() const { return peek().kind == Token::End; }
    size_t position() const { return pos_; }
    void rewind(size_t pos) { pos_ = pos; }

    // Keyword tests: a bare word equal to kw (case-insensitive). Quoted names never match.
    bool isKeyword(const char* kw, size_t ahead = 0) const;
    bool acceptKeyword(const char* kw);
    void expectKeyword(const char* kw);
    bool isSymbol(const char* sym, size_t ahead = 0) const;
    bool acceptSymbol(const char* sym);
    void expectSymbol(const char* sym);

    // Throws the syntax error near the next token (or near the last one at the end of the batch).
    [[noreturn]] void fail() const;
    [[noreturn]] void failAt(const Token& t) const;

    // A name: a bare word that is not a reserved word, or a [bracketed] / "quoted" name.
    std::string name();
    // A dotted object name (a.b, a..b, a.b.c, [a b].c, ...).
    ObjectName objectName();
    // A string literal ('x' or N'x'), decoded.
    std::string stringLiteral();
    bool isStringLiteral() const { return peek().kind == Token::String; }
    // An integer literal, optionally signed.
    int64_t integer();
    // A data type: INT, VARCHAR(n), NVARCHAR(n|MAX), ...
    DataType dataType();

    std::unique_ptr<Expr> expression();
    std::unique_ptr<Expr> condition();
    // One statement of any kind (built in or registered); nullptr at the end of the batch.
    std::unique_ptr<Statement> statement();

    // Variables declared so far in the batch (DECLARE is resolved when the batch is parsed);
    // names with their "@", matched case-insensitively. SqlError 134 for a second declaration.
    void declareVariable(const Token& at, const std::string& name, const DataType& type);
    const DataType* variableType(const std::string& name) const;
    // A variable reference (its name, lower-case, the key of Exec::variables); SqlError 137 when
    // it was not declared.
    std::string variable();

private:
    std::unique_ptr<Expr> orExpr();
    std::unique_ptr<Expr> andExpr();
    std::unique_ptr<Expr> notExpr();
    std::unique_ptr<Expr> predicate();
    std::unique_ptr<Expr> additive();
    std::unique_ptr<Expr> multiplicative();
    std::unique_ptr<Expr> unary();
    std::unique_ptr<Expr> primary();
    std::unique_ptr<Expr> functionCall(const std::string& fname, const Token& at);
    std::unique_ptr<Statement> builtinStatement();

    // Guards against batches that would exhaust the stack or the time of the server thread.
    struct Depth {
        explicit Depth(Parser& p);
        ~Depth() { --p_.depth_; }
        Parser& p_;
    };
    std::vector<Token> toks_;
    size_t pos_ = 0;
    int depth_ = 0;
    int retries_ = 0;
    std::map<std::string, DataType> declared_;
};

bool isReservedWord(const std::string& word);

using StatementParser = std::function<std::unique_ptr<Statement>(Parser&)>;
// A parser for statements that begin with keyword; parsers of one keyword are tried in the order
// of their lists.
struct PluggedStatement {
    std::string keyword;
    StatementParser parse;
};
// Adds one more parser after those of the lists (a test program's own statements).
void registerStatement(const std::string& keyword, StatementParser parser);
// The same from a static initialiser: safe in any order, as the tables are built on first use.
struct StatementRegistrar {
    StatementRegistrar(const std::string& keyword, StatementParser parser) {
        registerStatement(keyword, std::move(parser));
    }
};

// Runs one batch: parses it whole (a syntax error stops it before anything runs), then executes
// its statements in order. Every failure reaches x as an error packet; nothing is thrown.
void runBatch(Exec& x, const std::string& batch);

// Catalogue tables for SELECT ... FROM: the table of an object name, or false when there is none
// (the statement then fails with 208 "Invalid object name '<name>'.").
struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<Value>> rows;
};
bool catalogueTable(Exec& x, const ObjectName& name, Table& out);

// Runs one statement as a batch does: an error that does not abort the batch is added to x's
// error result and the batch goes on; one that aborts it propagates (for statements that hold
// other statements, such as IF and BEGIN ... END).
void runStatement(Exec& x, Statement& s);

// Whether a fault switch applies to a batch: it is set, and its value is empty or occurs in the
// batch (case-insensitive).
bool faultApplies(const InstanceInfo& info, const std::string& fault, const std::string& batch);

// SERVERPROPERTY as the instance answers it (NULL for an unknown property).
Value serverProperty(Exec& x, const std::string& property);

}  // namespace sqlemu
