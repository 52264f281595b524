// The library's single enrollment session.
#ifndef LUMETRA_API_ENROLLMENT_H
#define LUMETRA_API_ENROLLMENT_H

namespace lumetra::api {

// Closes the open enrollment session, if any, without touching the
// progress.  Used when the algorithm the session was opened with goes
// away: a session outlives neither its engine's algorithm nor its
// configuration.
void end_enrollment_session();

}  // namespace lumetra::api

#endif  // LUMETRA_API_ENROLLMENT_H
