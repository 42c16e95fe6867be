// The reference the heartbeat benchmark compares the server with: a minimal
// equipment port on epoll that does what a heartbeat needs and nothing else
// (cut the frame, unescape it, check its CRC, write the reply).
#pragma once

// Listens on 127.0.0.1:port and serves until the process is killed. Returns
// only when the port cannot be opened (non-zero).
int RunReferenceServer(int port);
