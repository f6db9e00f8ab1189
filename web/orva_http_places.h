// orva_http_places.h: the management server's connection places: a deadline
// for each request's header and body, and which connections give way when
// the places run short.
#pragma once

#include <cstddef>

// One accepted connection, from its acceptance until the server closes it.
struct OrvaPlace;

// A body of unknown length (chunked) is given the time of the largest body
// the server keeps.
constexpr size_t kOrvaUnknownBodyBytes = static_cast<size_t>(-1);

// Takes `places` as the number of connections the server keeps, and starts
// the sweep that closes the requests past their deadlines.
void orvaPlacesStart(unsigned places);
// Ends the sweep; called before the server stops.
void orvaPlacesStop();

// A connection accepted on `fd`. When that is one connection beyond the
// places, one connection gives way: the one kept alive and idle longest,
// else the oldest unfinished header, else a new one that has sent nothing
// yet, this one among them. Never null.
OrvaPlace* orvaPlaceOpened(int fd);
// The server has closed the connection; before its descriptor is closed.
void orvaPlaceClosed(OrvaPlace* place);
// The request's header is whole: its body of `bodyBytes` has a deadline from now.
void orvaPlaceHeaderDone(OrvaPlace* place, size_t bodyBytes);
// The request's body is whole: its answer has no deadline of its own.
void orvaPlaceBodyDone(OrvaPlace* place);
// The request has been answered; the connection waits for the next one.
void orvaPlaceRequestDone(OrvaPlace* place);
