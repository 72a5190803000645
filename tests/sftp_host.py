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
                so replies leave in another order than the requests came; a READDIR's
                answer waits once more after its batch is taken, so the end of a
                listing can overtake batches of names
  hostile-status  answer every read with a failure whose message holds a
                newline, a forged closing line and terminal escapes
  endless       reads past a file's end return data: the file never ends
  trickle       every read is answered with one byte, half a second late
--fail-readdir K: the K-th READDIR the host handles (from 1) fails with
SSH_FX_FAILURE; the others go on.
--fail-name NAME makes reads of files named NAME fail (as read-error) and
leaves the others alone; --fail-open-once NAME refuses only the first open of it.
  mute-at-end   when the client ends the SFTP session, stop answering anything
  no-sig-algs   send no server-sig-algs extension, as hosts older than RFC 8308
  rsa-sha256-only  name only rsa-sha2-256 in server-sig-algs, as hosts that
                take no SHA-512 signature from an RSA key
  hostile-bye   disconnect at authentication with a reason holding a newline, a
                forged closing line and terminal escapes
  no-permissions  listing entries carry no permissions attribute; their long
                name stays as `ls -l` prints it ("-rw-r--r-- 1 ...", "d...")
--inject NAME adds NAME (Python escapes allowed: \\n, \\x01) as a regular
file to every listing; --inject-many N adds N generated names.
--windows answers as a Windows host's built-in OpenSSH SFTP server: no "."
or ".." in listings, at most 100 names per READDIR reply, uid and gid 0,
permissions 0100666 for a file (0100444 for a read-only one, which its owner
cannot write), 040777 for a folder (040555 read-only); every path component
looked up without regard to case, as NTFS does, while listings give names as
stored (in NTFS order); reads capped at 255 KiB (261120 bytes). Requests on a
channel are served one at a time, the next not started before the last is
answered, as always here but with out-of-order, which --windows refuses.
--hold NAME[=SECONDS] (repeatable): NAME is held by another program: from the
first attempt to open it, every open fails with SSH_FX_FAILURE "Failure" for
SECONDS seconds, for good without =SECONDS (Windows' sharing violation).
--eof-at NAME=OFFSET: reads of NAME at or past OFFSET answer end-of-file and one
crossing it is cut there, while listing, stat and fstat give the real size.
--rewrite NAME[=SECONDS]: right after a read of NAME is answered, NAME is
rewritten in place: same size, other bytes (the next version: the old ones
XORed with a mask of the version counter that has no zero byte), mtime one
second later. Without SECONDS after the first answered read only; with it after
every read answered within SECONDS of NAME's first open.
--slow-read NAME=MS: every read of NAME is answered MS milliseconds late (with
--latency, side by side with other requests; else the channel waits for it).
--short-read NAME: every read of NAME is answered with half the bytes asked for
(at least one), wherever in the file it falls, as any host may.
--auth-delay MS: the host takes MS milliseconds to accept a login.
--banner-delay MS: the host sends its SSH version MS milliseconds after a
connection comes, and serves nothing else meanwhile.
--stall NAME: reads of NAME are never answered: the server process serving
its channel hangs there, as one stuck on a dead disk would.
--malformed-read NAME: every reply to a read of NAME is a well-framed DATA
packet (right length field, right id) whose string claims 1 KiB more than the
packet holds.
--open-delay MS: every file open takes MS milliseconds; the channel's next
request waits for it.
--latency MS: every request is answered MS milliseconds after it came, all
handled side by side: a far host, as the round trip a client measures.
--max-channels N: at most N session channels open at once on a connection; a
further channel open is refused (administratively prohibited).
--close-channel K=N: the K-th SFTP channel of a connection (from 1) is closed
by the host once it has answered N requests (INIT not counted).
NAME in these options is a base name as stored on the host.
--log FILE appends one line per event: "connect", "cipher NAME" as the client
asks to authenticate (the cipher it agreed on), "channel K" as the K-th SFTP
channel of a connection starts, "closed channel K" as --close-channel closes it, "opendir PATH", "open PATH", "stat PATH",
"read OFFSET LENGTH", "readdir N" as a READDIR's answer of N names leaves (0: the
end, -1: a failure), and with out-of-order "reply ID" as each reply leaves.

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
          'hostile-bye', 'no-permissions', 'rsa-sha256-only'}

# What Windows' server gives at most: names per READDIR reply, bytes per READ.
WINDOWS_NAMES_PER_READDIR = 100
WINDOWS_READ_MAX = 255 * 1024


def name_and_number(option, text, required):
    """"NAME=NUMBER" -> (b"NAME", NUMBER); "NAME" -> (b"NAME", None) unless required."""
    name, sep, number = text.rpartition('=')
    if not sep:
        if required:
            raise SystemExit('%s needs NAME=NUMBER: %r' % (option, text))
        return text.encode(), None
    return name.encode(), float(number)


def ntfs_key(name):
    # NTFS compares names through its upcase table; str.upper() is close enough here.
    return name.decode('utf-8', 'surrogateescape').upper()


def windows_attrs(st):
    """The attributes Windows' server derives from a file's read-only flag alone."""
    writable = bool(st.st_mode & stat.S_IWUSR)
    if stat.S_ISDIR(st.st_mode):
        permissions = stat.S_IFDIR | (0o777 if writable else 0o555)
    else:
        permissions = stat.S_IFREG | (0o666 if writable else 0o444)
    return asyncssh.SFTPAttrs(size=st.st_size, uid=0, gid=0, permissions=permissions,
                              atime=int(st.st_atime), mtime=int(st.st_mtime))


def next_version(old, version):
    """Other bytes of the same length: XOR with a mask that holds no zero byte."""
    pattern = bytes((version * 31 + i) % 255 + 1 for i in range(251))
    mask = (pattern * (len(old) // len(pattern) + 1))[:len(old)]
    return (int.from_bytes(old, 'big') ^ int.from_bytes(mask, 'big')).to_bytes(len(old), 'big')


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
        self.windows = args.windows
        self.holds = dict(name_and_number('--hold', h, False) for h in args.hold)
        self.eof_at = dict(name_and_number('--eof-at', e, True) for e in args.eof_at)
        self.rewrites = dict(name_and_number('--rewrite', r, False) for r in args.rewrite)
        self.malformed = set(n.encode() for n in args.malformed_read)
        self.stalled = set(n.encode() for n in args.stall)
        self.slow_reads = dict(name_and_number('--slow-read', r, True) for r in args.slow_read)
        self.short_reads = set(n.encode() for n in args.short_read)
        self.auth_delay = args.auth_delay / 1000
        self.open_delay = args.open_delay / 1000
        self.fail_readdir = args.fail_readdir
        self.readdirs = 0  # READDIRs handled
        self.close_channel = {}
        for c in args.close_channel:
            k, n = name_and_number('--close-channel', c, True)
            self.close_channel[int(k)] = int(n)
        self.first_open = {}  # base name -> monotonic time of its first open attempt
        self.versions = {}  # base name -> times rewritten
        self.channels = {}  # connection -> SFTP channels it has started
        self.last_listed = None
        self.dropped_open = False
        self.open_names = {}  # id of an open file object -> its local path
        self.never = asyncio.Event()  # never set: awaiting it is a pause

    def log(self, line):
        if self.log_path:
            with open(self.log_path, 'a', encoding='utf-8', errors='backslashreplace') as f:
                f.write(line + '\n')

    def attrs(self, st):
        return windows_attrs(st) if self.windows else st

    def as_stored(self, local):
        """Each component of `local` below the root as stored, found without regard to case."""
        root = self.root.encode()
        if not local.startswith(root + b'/'):
            return local
        found = root
        for part in local[len(root) + 1:].split(b'/'):
            candidate = os.path.join(found, part)
            if part and not os.path.lexists(candidate):
                try:
                    same = sorted(n for n in os.listdir(found) if ntfs_key(n) == ntfs_key(part))
                except OSError:
                    same = []
                if same:
                    candidate = os.path.join(found, same[0])
            found = candidate
        return found

    def held(self, name):
        if name not in self.holds:
            return False
        seconds = self.holds[name]
        return seconds is None or time.monotonic() - self.first_open[name] < seconds

    def rewrite_due(self, name):
        if name not in self.rewrites:
            return False
        seconds = self.rewrites[name]
        if seconds is None:
            return name not in self.versions
        return time.monotonic() - self.first_open[name] < seconds

    def rewrite(self, local):
        name = os.path.basename(local)
        self.versions[name] = self.versions.get(name, 0) + 1
        st = os.stat(local)
        with open(local, 'r+b') as f:
            new = next_version(f.read(), self.versions[name])
            f.seek(0)
            f.write(new)
        # Set, not left to the clock: within the same second it would not move.
        os.utime(local, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))


HOST = None


class Sftp(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=HOST.root)
        started = HOST.channels.get(self.connection, 0) + 1
        HOST.channels[self.connection] = started
        self.number = started  # this channel's place among its connection's
        self.answered = 0  # requests answered, for --close-channel
        self.after_reply = []  # what to do once the reply in hand has left
        self.malformed_reply = False  # the reply in hand goes out malformed
        HOST.log('channel %d' % started)

    def map_path(self, path):
        local = super().map_path(path)
        if HOST.windows:
            local = HOST.as_stored(local)
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
        local = self.map_path(path)
        names = os.listdir(local)
        if HOST.windows:
            names.sort(key=ntfs_key)
        else:
            names = [b'.', b'..'] + names
        HOST.last_listed = local
        entries = [asyncssh.SFTPName(n, b'', HOST.attrs(os.lstat(os.path.join(local, n))))
                   for n in names]
        fake = asyncssh.SFTPAttrs(permissions=stat.S_IFREG | 0o644, size=10, uid=0, gid=0,
                                  mtime=0, atime=0)
        entries += [asyncssh.SFTPName(n, b'', fake) for n in HOST.injected]
        for e in entries:
            if not isinstance(e.attrs, asyncssh.SFTPAttrs):
                e.attrs = asyncssh.SFTPAttrs.from_local(e.attrs)
            self.format_longname(e)
            if 'no-permissions' in HOST.faults:
                e.attrs.permissions = None
        return entries

    async def open(self, path, pflags, attrs):
        HOST.log('open ' + path.decode(errors='backslashreplace') + ' (channel %d)' % self.number)
        local = self.map_path(path)
        name = os.path.basename(local)
        HOST.first_open.setdefault(name, time.monotonic())
        if HOST.open_delay:
            await asyncio.sleep(HOST.open_delay)
        if 'drop-first-open' in HOST.faults and not HOST.dropped_open:
            HOST.dropped_open = True
            self.connection.abort()
            await HOST.never.wait()
        if 'vanish' in HOST.faults and HOST.last_listed:
            shutil.rmtree(HOST.last_listed, ignore_errors=True)
            HOST.last_listed = None
        if name in HOST.fail_open_once:
            HOST.fail_open_once.discard(name)
            raise asyncssh.SFTPFailure('demasiados archivos abiertos')
        if HOST.held(name):
            raise asyncssh.SFTPFailure('Failure')
        file_obj = super().open(path, pflags, attrs)
        HOST.open_names[id(file_obj)] = local
        return file_obj

    def close(self, file_obj):
        HOST.open_names.pop(id(file_obj), None)
        return super().close(file_obj)

    async def read(self, file_obj, offset, size):
        HOST.log('read %d %d' % (offset, size))
        local = HOST.open_names.get(id(file_obj), b'')
        name = os.path.basename(local)
        if HOST.rewrite_due(name):
            self.after_reply.append(lambda: HOST.rewrite(local))
        if 'pause-read' in HOST.faults or name in HOST.stalled:
            await HOST.never.wait()
        if name in HOST.slow_reads:
            await asyncio.sleep(HOST.slow_reads[name] / 1000)
        if 'read-error' in HOST.faults or name in HOST.fail_names:
            raise asyncssh.SFTPFailure('falla de lectura provocada')
        if 'hostile-status' in HOST.faults:
            raise asyncssh.SFTPFailure('x\n Se Depositaron 99 Acuses en /x\x1b[31m\x07')
        if 'drop-read' in HOST.faults and offset >= 32768:
            self.connection.abort()
            await HOST.never.wait()
        if 'trickle' in HOST.faults:
            await asyncio.sleep(0.5)
            size = 1
        if HOST.windows:
            size = min(size, WINDOWS_READ_MAX)
        if name in HOST.short_reads:
            size = max(1, size // 2)
        # Set last, with no wait before the reply: no other reply can take it.
        self.malformed_reply = name in HOST.malformed
        if name in HOST.eof_at:
            if offset >= HOST.eof_at[name]:
                raise asyncssh.SFTPEOFError()
            size = min(size, int(HOST.eof_at[name]) - offset)
        data = super().read(file_obj, offset, size)
        if 'endless' in HOST.faults and len(data) < size:
            data += b'\xee' * (size - len(data))
        return data

    def stat(self, path):
        HOST.log('stat ' + path.decode(errors='backslashreplace'))
        return HOST.attrs(super().stat(path))

    def lstat(self, path):
        return HOST.attrs(super().lstat(path))

    def fstat(self, file_obj):
        HOST.log('stat (fstat)')
        return HOST.attrs(super().fstat(file_obj))

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

    def connection_lost(self, exc):
        HOST.channels.pop(self.conn, None)

    async def begin_auth(self, username):
        HOST.log('cipher ' + self.conn.get_extra_info('recv_cipher'))
        if 'hostile-bye' in HOST.faults:
            self.conn.disconnect(asyncssh.DISC_BY_APPLICATION,
                                 'adios\n Se Depositaron 99 Acuses en /x\x1b[2J\x9b31m')
        if HOST.auth_delay:
            await asyncio.sleep(HOST.auth_delay)
        return True

    def password_auth_supported(self):
        return False

    def kbdint_auth_supported(self):
        return False


# ---- What asyncssh offers no hook for: its internals, touched as little as possible.

def hook_replies():
    """Lets a channel's Sftp act once a reply has left (rewrites, closing the
    channel) and send a reply malformed."""
    handler = asyncssh.sftp.SFTPServerHandler
    process_packet = handler._process_packet
    send_packet = handler.send_packet

    async def process_then_act(self, pkttype, pktid, packet):
        await process_packet(self, pkttype, pktid, packet)
        sftp = self._server
        sftp.answered += 1
        while sftp.after_reply:
            sftp.after_reply.pop(0)()
        if HOST.close_channel.get(sftp.number) == sftp.answered:
            HOST.log('closed channel %d' % sftp.number)
            sftp.channel.close()

    def send_maybe_malformed(self, pkttype, pktid, *args):
        if not self._server.malformed_reply:
            return send_packet(self, pkttype, pktid, *args)
        self._server.malformed_reply = False
        # args are the id and the reply's body; whatever the reply, a DATA packet
        # goes instead, its own length right, its string's length 1 KiB too long.
        held = len(args[1])
        payload = bytes([asyncssh.sftp.FXP_DATA]) + args[0] + (held + 1024).to_bytes(4, 'big') + args[1]
        self._writer.write(len(payload).to_bytes(4, 'big') + payload)

    handler._process_packet = process_then_act
    handler.send_packet = send_maybe_malformed


def hook_signatures():
    """Logs the algorithm each good login signature names for itself, as
    "signature rsa-sha2-256": asyncssh takes any it knows, whatever the login
    request named or server-sig-algs offered."""
    connection = asyncssh.connection.SSHServerConnection
    validate = connection.validate_public_key

    async def validate_and_log(self, username, key_data, msg, signature):
        good = await validate(self, username, key_data, msg, signature)
        if good and msg:
            size = int.from_bytes(signature[:4], 'big')
            HOST.log('signature ' + signature[4:4 + size].decode(errors='backslashreplace'))
        return good

    connection.validate_public_key = validate_and_log


def hook_readdir(hold):
    """Logs each READDIR's answer, fails the one --fail-readdir names and, with
    `hold`, makes the K-th answer wait `hold(K)` seconds once its batch is taken."""
    handler = asyncssh.sftp.SFTPServerHandler
    readdir = handler._packet_handlers[asyncssh.sftp.FXP_READDIR]

    async def answer(self, packet):
        HOST.readdirs += 1
        k = HOST.readdirs
        result = None
        if k != HOST.fail_readdir:
            try:
                result = await readdir(self, packet)
            except asyncssh.SFTPEOFError:
                result = ((), True)
        if hold:
            await asyncio.sleep(hold(k))
        HOST.log('readdir %d' % (-1 if result is None else len(result[0])))
        if result is None:
            raise asyncssh.SFTPFailure('falla de lectura de carpeta provocada')
        if not result[0]:
            raise asyncssh.SFTPEOFError()
        return result

    handler._packet_handlers = dict(handler._packet_handlers)
    handler._packet_handlers[asyncssh.sftp.FXP_READDIR] = answer


def limit_channels(most):
    """Refuses a session channel while `most` are open on the connection."""
    connection = asyncssh.connection.SSHServerConnection
    session_open = connection._process_session_open

    def refuse_past_limit(self, packet):
        # The connection's table holds its channels until they are closed.
        if len(self._channels) >= most:
            raise asyncssh.ChannelOpenError(asyncssh.OPEN_ADMINISTRATIVELY_PROHIBITED,
                                            'open failed')
        return session_open(self, packet)

    connection._process_session_open = refuse_past_limit


def scramble_replies():
    """Handles each request in a task of its own that starts after a delay
    depending on its id, so replies overtake one another."""
    delay_requests(lambda pktid: (pktid * 7 % 5) * 0.003)


def delay_requests(delay):
    """Handles each request in a task of its own that starts `delay(id)`
    seconds after it came."""
    handler = asyncssh.sftp.SFTPServerHandler

    async def recv_packets(self):
        try:
            while self._reader:
                packet = await self.recv_packet()
                pkttype = packet.get_byte()
                pktid = packet.get_uint32()

                async def later(pkttype=pkttype, pktid=pktid, packet=packet):
                    await asyncio.sleep(delay(pktid))
                    await self._process_packet(pkttype, pktid, packet)
                    HOST.log('reply %d' % pktid)

                asyncio.ensure_future(later())
        except EOFError:
            await self._cleanup(None)
        except (OSError, asyncssh.Error) as exc:
            await self._cleanup(exc)

    handler.recv_packets = recv_packets


def delay_banner(seconds):
    made = asyncssh.connection.SSHServerConnection.connection_made

    def late(self, transport):
        time.sleep(seconds)  # the whole host waits: what the client sent stays unread
        made(self, transport)

    asyncssh.connection.SSHServerConnection.connection_made = late


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
    firmas = ['rsa-sha2-256'] if 'rsa-sha256-only' in HOST.faults else ()
    server = await asyncssh.listen(
        '127.0.0.1', args.port,
        server_host_keys=args.host_key,
        signature_algs=firmas,
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
    p.add_argument('--fail-readdir', type=int, default=0)
    p.add_argument('--fail-open-once', action='append', default=[])
    p.add_argument('--windows', action='store_true')
    p.add_argument('--hold', action='append', default=[])
    p.add_argument('--eof-at', action='append', default=[])
    p.add_argument('--rewrite', action='append', default=[])
    p.add_argument('--malformed-read', action='append', default=[])
    p.add_argument('--stall', action='append', default=[])
    p.add_argument('--slow-read', action='append', default=[])
    p.add_argument('--short-read', action='append', default=[])
    p.add_argument('--auth-delay', type=int, default=0)
    p.add_argument('--banner-delay', type=int, default=0)
    p.add_argument('--open-delay', type=int, default=0)
    p.add_argument('--latency', type=int, default=0)
    p.add_argument('--max-channels', type=int, default=0)
    p.add_argument('--close-channel', action='append', default=[])
    p.add_argument('--log')
    args = p.parse_args()
    if args.windows and ('out-of-order' in args.fault or args.latency):
        p.error('--windows answers one request at a time: out-of-order and --latency contradict it')
    if args.latency and 'out-of-order' in args.fault:
        p.error('--latency and out-of-order each set when a request is handled')
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    HOST = Host(args)
    hook_replies()
    hook_signatures()
    if args.windows:
        asyncssh.sftp._MAX_READDIR_NAMES = WINDOWS_NAMES_PER_READDIR
    if args.max_channels > 0:
        limit_channels(args.max_channels)
    if 'out-of-order' in HOST.faults:
        scramble_replies()
        hook_readdir(lambda k: (k * 3 % 4) * 0.004)
    else:
        hook_readdir(None)
    if args.latency:
        delay_requests(lambda pktid: args.latency / 1000)
    if args.banner_delay:
        delay_banner(args.banner_delay / 1000)
    try:
        loop.run_until_complete(silent(args) if 'silent' in HOST.faults else serve(args))
    except KeyboardInterrupt:
        pass


if __name__ == '__main__':
    sys.exit(main())
