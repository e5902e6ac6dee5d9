// Helpers shared by the simulator's servers: request records for the log, the request document
// reader, XML escaping and the connection drop used by the fault injector.
#pragma once

#include <httplib.h>

#include <map>
#include <string>

#include "CRequestLog.h"

namespace simhttp {

// A log record with kind, arrival time, method, path, query parameters and headers of req.
JsonPtr NewRecord(const std::string& kind, const httplib::Request& req);

// Now in seconds of Unix time, to the microsecond: the times of the request log.
double NowSeconds();

// Reads a portal request document: root "request", one text per child element (by tag name).
// Returns false for text that is not well-formed XML or has another root.
bool ParseRequestDocument(const std::string& text, std::map<std::string, std::string>& fields);

std::string XmlEscape(const std::string& text);

// Closes the connection that carries req so that the client gets no answer at all. Returns false
// when the connection's descriptor cannot be found.
bool DropConnection(const httplib::Request& req);

}  // namespace simhttp
