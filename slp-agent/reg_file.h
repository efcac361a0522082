// reg_file.h: the registration file (RFC 2614's serialized registrations): services that cannot
// register themselves, held by the agent like loopback registrations but tied to no process.
//
//   # comment (also ;)
//   service:printer:lpr://192.0.2.40/queue,en,65535
//   scopes=DEFAULT
//   printer-name=lab 3
//   color-supported
//
//   http://192.0.2.41/,en,3600,service:web-ui
//
// A registration is a line `URL,LANGUAGE,LIFETIME[,TYPE]` (TYPE for a URL outside the service:
// scheme), an optional `scopes=LIST` line, then one attribute a line, `tag=value[,value...]` or a
// keyword, in wire form; a blank line ends it.
#ifndef ORVAD_SLP_AGENT_REG_FILE_H
#define ORVAD_SLP_AGENT_REG_FILE_H

#include "registry.h"

#include <string>
#include <vector>

namespace slpagent {

// The registrations of the file's text (`path` names it in messages); `scopes` are those the
// agent serves, and of a registration without a scopes line. An entry that does not parse is
// left out with a line "PATH:LINE: why" in `errors`; a URL given twice keeps the first.
std::vector<Registration> parseRegistrationFile(const std::string &text, const std::string &path,
                                                const std::string &scopes, std::vector<std::string> *errors);

// The file path that net.slp.serializedRegURL names: a path as it is, or a file: URL
// ("file:/etc/slp.reg", "file:///etc/slp.reg", "file://localhost/etc/slp.reg"); empty for a
// file: URL of another host or without an absolute path.
std::string registrationFilePath(const std::string &property);

// Brings the registry from the file's registrations `before` (as last applied) to `after`:
// stores each of `after` that the registry does not hold as written, at `nowMs`, and removes each
// of `before` that `after` lacks, unless a registering process has replaced it since. Appends a
// line for each change, as the agent prints them.
void applyRegistrationFile(Registry *registry, const std::vector<Registration> &before,
                           const std::vector<Registration> &after, bool strictLifetimes, int64_t nowMs,
                           std::vector<std::string> *lines);

}  // namespace slpagent

#endif
