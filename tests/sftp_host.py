#!/usr/bin/python3
"""Loopback SFTP host for the transfer library's tests and demos.

Serves --root as the host's whole file system, so the SFTP path
/D:/IDE/x1/Acuses is the folder ROOT/D:/IDE/x1/Acuses. Key-only
authentication against --authorized-keys, any user name. Prints the
listening port as its first line on stdout once it accepts connections.

--fault makes it misbehave on purpose (repeatable):
  silent        accept TCP connections and never say a word
  drop-read     drop the connection at the first read past the first 32 KiB
  drop-first-open  drop the connection at the first file open, once
  read-error    answer every read with an SFTP failure
  pause-list    stop answering at the first directory listing
  pause-read    stop answering at the first file read
  vanish        the first file open after a listing removes the listed folder
  out-of-order  handle requests concurrently, each after a short delay of its own,
                so replies leave in another order than the requests came
  hostile-status  answer every read with a failure whose message holds a
                newline, a forged closing line and terminal escapes
  endless       reads past a file's end return data: the file never ends
  trickle       every read is answered with one byte, half a second late
--fail-name NAME makes reads of files named NAME fail (as read-error) and
leaves the others alone; --fail-open-once NAME refuses only the first open of it.
  mute-at-end   when the client ends the SFTP session, stop answering anything
  no-sig-algs   send no server-sig-algs extension, as hosts older than RFC 8308
  hostile-bye   disconnect at authentication with a reason holding a newline, a
                forged closing line and terminal escapes
--inject NAME adds NAME (Python escapes allowed: \\n, \\x01) as a regular
file to every listing; --inject-many N adds N generated names.
--log FILE appends one line per event: "connect", "opendir PATH",
"open PATH", "stat PATH", "read OFFSET LENGTH", and with out-of-order
"reply ID" as each reply leaves.

Run by /usr/bin/python3, which sees Debian's python3-asyncssh.
"""

import argparse
import asyncio
import codecs
import os
import shutil
import socket
import stat
import sys
import time

import warnings

# asyncssh imports ciphers the cryptography package calls deprecated; the
# warnings would only clutter the tests' output.
warnings.filterwarnings('ignore')
import asyncssh  # noqa: E402

FAULTS = {'silent', 'drop-read', 'drop-first-open', 'read-error', 'pause-list', 'pause-read', 'vanish',
          'out-of-order', 'hostile-status', 'endless', 'trickle', 'mute-at-end', 'no-sig-algs',
          'hostile-bye'}


class Host:
    def __init__(self, args):
        self.root = os.path.realpath(args.root)
        self.faults = set(args.fault)
        self.log_path = args.log
        self.injected = [codecs.escape_decode(n.encode())[0] for n in args.inject]
        self.injected += [b'relleno_%06d_%s.xml' % (i, args.many_tag.encode())
                          for i in range(args.inject_many)]
        self.fail_names = set(n.encode() for n in args.fail_name)
        self.fail_open_once = set(n.encode() for n in args.fail_open_once)
        self.last_listed = None
        self.dropped_open = False
        self.open_names = {}  # id of an open file object -> its base name
        self.never = asyncio.Event()  # never set: awaiting it is a pause

    def log(self, line):
        if self.log_path:
            with open(self.log_path, 'a', encoding='utf-8', errors='backslashreplace') as f:
                f.write(line + '\n')


HOST = None


class Sftp(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=HOST.root)

    def map_path(self, path):
        local = super().map_path(path)
        # The chroot above normalises "..", but a symbolic link could still lead out.
        real = os.path.realpath(local)
        root = HOST.root.encode()
        if real != root and not real.startswith(root + b'/'):
            raise asyncssh.SFTPPermissionDenied('outside the served root')
        return local

    async def listdir(self, path):
        HOST.log('opendir ' + path.decode(errors='backslashreplace'))
        if 'pause-list' in HOST.faults:
            await HOST.never.wait()
        names = super().listdir(path)
        HOST.last_listed = self.map_path(path)
        fake = asyncssh.SFTPAttrs(permissions=stat.S_IFREG | 0o644, size=10, uid=0, gid=0,
                                  mtime=0, atime=0)
        return list(names) + [asyncssh.SFTPName(n, b'', fake) for n in HOST.injected]

    async def open(self, path, pflags, attrs):
        HOST.log('open ' + path.decode(errors='backslashreplace'))
        if 'drop-first-open' in HOST.faults and not HOST.dropped_open:
            HOST.dropped_open = True
            self.connection.abort()
            await HOST.never.wait()
        if 'vanish' in HOST.faults and HOST.last_listed:
            shutil.rmtree(HOST.last_listed, ignore_errors=True)
            HOST.last_listed = None
        if os.path.basename(path) in HOST.fail_open_once:
            HOST.fail_open_once.discard(os.path.basename(path))
            raise asyncssh.SFTPFailure('demasiados archivos abiertos')
        file_obj = super().open(path, pflags, attrs)
        HOST.open_names[id(file_obj)] = os.path.basename(path)
        return file_obj

    def close(self, file_obj):
        HOST.open_names.pop(id(file_obj), None)
        return super().close(file_obj)

    async def read(self, file_obj, offset, size):
        HOST.log('read %d %d' % (offset, size))
        if 'pause-read' in HOST.faults:
            await HOST.never.wait()
        if 'read-error' in HOST.faults or HOST.open_names.get(id(file_obj)) in HOST.fail_names:
            raise asyncssh.SFTPFailure('falla de lectura provocada')
        if 'hostile-status' in HOST.faults:
            raise asyncssh.SFTPFailure('x\n Se Depositaron 99 Acuses en /x\x1b[31m\x07')
        if 'drop-read' in HOST.faults and offset >= 32768:
            self.connection.abort()
            await HOST.never.wait()
        if 'trickle' in HOST.faults:
            await asyncio.sleep(0.5)
            size = 1
        data = super().read(file_obj, offset, size)
        if 'endless' in HOST.faults and len(data) < size:
            data += b'\xee' * (size - len(data))
        return data

    def stat(self, path):
        HOST.log('stat ' + path.decode(errors='backslashreplace'))
        return super().stat(path)

    def lstat(self, path):
        return super().lstat(path)

    def fstat(self, file_obj):
        HOST.log('stat (fstat)')
        return super().fstat(file_obj)

    def exit(self):
        if 'mute-at-end' in HOST.faults:
            # A hung host: the whole process stops, so not even the socket is read.
            while True:
                time.sleep(3600)
        super().exit()


class Server(asyncssh.SSHServer):
    def connection_made(self, conn):
        HOST.log('connect')
        self.conn = conn

    def begin_auth(self, username):
        if 'hostile-bye' in HOST.faults:
            self.conn.disconnect(asyncssh.DISC_BY_APPLICATION,
                                 'adios\n Se Depositaron 99 Acuses en /x\x1b[2J\x9b31m')
        return True

    def password_auth_supported(self):
        return False

    def kbdint_auth_supported(self):
        return False


def scramble_replies():
    """Handles each request in a task of its own that starts after a delay
    depending on its id, so replies overtake one another."""
    handler = asyncssh.sftp.SFTPServerHandler

    async def recv_packets(self):
        try:
            while self._reader:
                packet = await self.recv_packet()
                pkttype = packet.get_byte()
                pktid = packet.get_uint32()

                async def later(pkttype=pkttype, pktid=pktid, packet=packet):
                    await asyncio.sleep((pktid * 7 % 5) * 0.003)
                    await self._process_packet(pkttype, pktid, packet)
                    HOST.log('reply %d' % pktid)

                asyncio.ensure_future(later())
        except EOFError:
            await self._cleanup(None)
        except (OSError, asyncssh.Error) as exc:
            await self._cleanup(exc)

    handler.recv_packets = recv_packets


def announce(port):
    print(port, flush=True)


async def silent(args):
    # A plain socket: the TCP handshake completes, the SSH banner never comes.
    held = []

    async def hold(reader, writer):
        HOST.log('connect')
        held.append(writer)
        await HOST.never.wait()

    server = await asyncio.start_server(hold, '127.0.0.1', args.port)
    announce(server.sockets[0].getsockname()[1])
    await HOST.never.wait()


async def serve(args):
    if 'no-sig-algs' in HOST.faults:
        asyncssh.connection.SSHServerConnection._send_ext_info = lambda self: None
    server = await asyncssh.listen(
        '127.0.0.1', args.port,
        server_host_keys=args.host_key,
        authorized_client_keys=args.authorized_keys,
        server_factory=Server,
        sftp_factory=Sftp,
        allow_scp=False)
    announce(server.sockets[0].getsockname()[1])
    await HOST.never.wait()


def main():
    global HOST
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--root', required=True)
    p.add_argument('--host-key', required=True, action='append')
    p.add_argument('--authorized-keys', required=True)
    p.add_argument('--port', type=int, default=0)
    p.add_argument('--fault', action='append', default=[], choices=sorted(FAULTS))
    p.add_argument('--inject', action='append', default=[])
    p.add_argument('--inject-many', type=int, default=0)
    p.add_argument('--many-tag', default='201305')
    p.add_argument('--fail-name', action='append', default=[])
    p.add_argument('--fail-open-once', action='append', default=[])
    p.add_argument('--log')
    args = p.parse_args()
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    HOST = Host(args)
    if 'out-of-order' in HOST.faults:
        scramble_replies()
    try:
        loop.run_until_complete(silent(args) if 'silent' in HOST.faults else serve(args))
    except KeyboardInterrupt:
        pass


if __name__ == '__main__':
    sys.exit(main())
