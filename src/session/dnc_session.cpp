#include "session/dnc_session.h"

#include "transport/session_encryptor.h"

DncSession::DncSession() : SessionEncryptor(new class SessionEncryptor) {}

DncSession::~DncSession() = default;

bool DncSession::doProt() { return false; }

bool DncSession::doProbe(std::string&) { return true; }

int DncSession::probeAnswered(bool) { return 0; }
