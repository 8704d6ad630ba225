// The syntax of BACKUP, RESTORE and ALTER DATABASE ... SET SINGLE_USER | MULTI_USER.
#include "emulator/backup/BackupStatements.h"

#include <memory>

namespace sqlemu::backup {
namespace {

// VIRTUAL_DEVICE = 'name' [, VIRTUAL_DEVICE = 'name'] ...
std::vector<std::string> deviceList(Parser& p) {
    std::vector<std::string> out;
    do {
        p.expectKeyword("VIRTUAL_DEVICE");
        p.expectSymbol("=");
        if (!p.isStringLiteral()) p.fail();
        out.push_back(p.stringLiteral());
    } while (p.acceptSymbol(","));
    return out;
}

int64_t assignedNumber(Parser& p) {
    p.expectSymbol("=");
    return p.integer();
}

std::string assignedString(Parser& p) {
    p.expectSymbol("=");
    if (!p.isStringLiteral()) p.fail();
    return p.stringLiteral();
}

// An option's flag that may be given once.
void once(Parser& p, const Token& at, bool& flag) {
    if (flag) p.failAt(at);
    flag = true;
}
template <class T>
void onceValue(Parser& p, const Token& at, std::optional<T>& slot, T value) {
    if (slot) p.failAt(at);
    slot = std::move(value);
}

// The options every kind shares; false when the next word is none of them.
bool transferOption(Parser& p, TransferWith& w) {
    const Token at = p.peek();
    if (p.acceptKeyword("STATS")) {
        int64_t v = 10;
        if (p.isSymbol("=")) v = assignedNumber(p);
        onceValue(p, at, w.stats, v);
    } else if (p.acceptKeyword("BLOCKSIZE")) {
        onceValue(p, at, w.blockSize, assignedNumber(p));
    } else if (p.acceptKeyword("BUFFERCOUNT")) {
        onceValue(p, at, w.bufferCount, assignedNumber(p));
    } else if (p.acceptKeyword("MAXTRANSFERSIZE")) {
        onceValue(p, at, w.maxTransferSize, assignedNumber(p));
    } else if (p.acceptKeyword("CHECKSUM")) {
        once(p, at, w.checksum);
    } else if (p.acceptKeyword("NO_CHECKSUM")) {
        once(p, at, w.noChecksum);
    } else {
        return false;
    }
    return true;
}

void backupOption(Parser& p, BackupStatement& s) {
    if (transferOption(p, s.with)) return;
    const Token at = p.peek();
    if (p.acceptKeyword("DIFFERENTIAL")) {
        once(p, at, s.differential);
    } else if (p.acceptKeyword("COMPRESSION")) {
        once(p, at, s.compression);
    } else if (p.acceptKeyword("NO_COMPRESSION")) {
        once(p, at, s.noCompression);
    } else if (p.acceptKeyword("COPY_ONLY")) {
        once(p, at, s.copyOnly);
    } else if (p.acceptKeyword("NORECOVERY")) {
        once(p, at, s.norecovery);
    } else if (p.acceptKeyword("STANDBY")) {
        onceValue(p, at, s.standby, assignedString(p));
    } else if (p.acceptKeyword("ENCRYPTION")) {
        if (s.algorithm) p.failAt(at);
        p.expectSymbol("(");
        p.expectKeyword("ALGORITHM");
        p.expectSymbol("=");
        const Token& alg = p.next();
        std::string a = alg.kind == Token::Word ? alg.text : std::string();
        for (char& c : a) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (a != "AES_128" && a != "AES_192" && a != "AES_256" && a != "TRIPLE_DES_3KEY") p.failAt(alg);
        p.expectSymbol(",");
        p.expectKeyword("SERVER");
        p.expectKeyword("CERTIFICATE");
        p.expectSymbol("=");
        s.certificate = p.name();
        p.expectSymbol(")");
        s.algorithm = a;
    } else {
        p.fail();
    }
}

void restoreOption(Parser& p, RestoreStatement& s) {
    if (transferOption(p, s.with)) return;
    const Token at = p.peek();
    if (s.what != RestoreStatement::VerifyOnly && p.acceptKeyword("RECOVERY")) {
        once(p, at, s.recovery);
    } else if (s.what != RestoreStatement::VerifyOnly && p.acceptKeyword("NORECOVERY")) {
        once(p, at, s.norecovery);
    } else if (s.what != RestoreStatement::VerifyOnly && p.acceptKeyword("STANDBY")) {
        onceValue(p, at, s.standby, assignedString(p));
    } else if (s.what != RestoreStatement::VerifyOnly && p.acceptKeyword("REPLACE")) {
        once(p, at, s.replace);
    } else if (p.acceptKeyword("MOVE")) {
        if (!p.isStringLiteral()) p.fail();
        std::string logical = p.stringLiteral();
        p.expectKeyword("TO");
        if (!p.isStringLiteral()) p.fail();
        s.moves.emplace_back(logical, p.stringLiteral());
    } else {
        p.fail();
    }
}

std::unique_ptr<Statement> parseBackup(Parser& p) {
    p.expectKeyword("BACKUP");
    auto s = std::make_unique<BackupStatement>();
    if (p.acceptKeyword("LOG"))
        s->log = true;
    else
        p.expectKeyword("DATABASE");
    s->database = p.name();
    p.expectKeyword("TO");
    s->devices = deviceList(p);
    if (p.acceptKeyword("WITH")) {
        do backupOption(p, *s);
        while (p.acceptSymbol(","));
    }
    return s;
}

std::unique_ptr<Statement> parseRestore(Parser& p) {
    p.expectKeyword("RESTORE");
    auto s = std::make_unique<RestoreStatement>();
    if (p.acceptKeyword("VERIFYONLY")) {
        s->what = RestoreStatement::VerifyOnly;
    } else {
        if (p.acceptKeyword("LOG"))
            s->what = RestoreStatement::Log;
        else
            p.expectKeyword("DATABASE");
        s->database = p.name();
    }
    p.expectKeyword("FROM");
    s->devices = deviceList(p);
    if (p.acceptKeyword("WITH")) {
        do restoreOption(p, *s);
        while (p.acceptSymbol(","));
    }
    return s;
}

// ALTER DATABASE name SET SINGLE_USER | MULTI_USER [WITH ROLLBACK IMMEDIATE]; other ALTER forms
// are declined.
std::unique_ptr<Statement> parseAlterDatabase(Parser& p) {
    size_t start = p.position();
    p.expectKeyword("ALTER");
    if (!p.isKeyword("DATABASE")) {
        p.rewind(start);
        return nullptr;
    }
    p.next();
    auto s = std::make_unique<AlterUserAccessStatement>();
    s->database = p.name();
    p.expectKeyword("SET");
    if (p.acceptKeyword("SINGLE_USER"))
        s->single = true;
    else if (!p.acceptKeyword("MULTI_USER"))
        p.fail();
    if (p.acceptKeyword("WITH")) {
        p.expectKeyword("ROLLBACK");
        p.expectKeyword("IMMEDIATE");
    }
    return s;
}

}  // namespace

std::vector<PluggedStatement> statementParsers() {
    return {{"BACKUP", parseBackup}, {"RESTORE", parseRestore}, {"ALTER", parseAlterDatabase}};
}

}  // namespace sqlemu::backup
