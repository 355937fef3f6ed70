// A real SMTP server on the loopback for the e-mail delivery tests.
//
//   node server.js [--port N] [--mail-dir DIR] [--user NAME] [--password TEXT]
//                  [--auth-methods LOGIN,CRAM-MD5,PLAIN] [--auth-required]
//                  [--starttls | --tls] [--cert FILE --key FILE] [--refuse-sender] [--drop-during-data]
//                  [--close-after-message] [--reply-delay MS]
//
// Listens on 127.0.0.1 (port 0, the default, takes an ephemeral one) and prints "PORT <n>" on a line of its own
// once it accepts connections. AUTH LOGIN, AUTH CRAM-MD5 and AUTH PLAIN are offered (also without TLS) and
// accept one fixed name and password (default "harkwell" / "secret"); authentication is optional unless
// --auth-required is given. Without TLS options the server speaks plain SMTP and does not offer STARTTLS;
// --starttls offers it, --tls speaks TLS from the connect on, both with the certificate and key of the PEM
// files --cert and --key. Each message received is written to DIR as message-<nnnn>.txt (under a temporary
// name first and then renamed, so a reader never sees half a file): the envelope, the authenticated user and
// method, whether the session was encrypted, the connection's name (session), and the data as sent after the
// transparency dots were removed. The server ends when its standard input closes, so it never outlives the
// test that started it, or on SIGTERM. With --refuse-sender every MAIL FROM is answered
// "550 5.7.1 Sender <address> is not allowed here", which ends the transaction before any recipient. With
// --drop-during-data the server closes the connection at the first bytes of a message's data; with
// --close-after-message, right after it has taken a message. With --reply-delay the server stores each message
// at once and holds its "250" reply for MS milliseconds: a client killed meanwhile has had its message taken
// without knowing it.
'use strict';

const fs = require('fs');
const path = require('path');
const { SMTPServer } = require('smtp-server');

function parseArguments(argv) {
    const options = {
        port: 0,
        replyDelay: 0,
        mailDir: process.cwd(),
        user: 'harkwell',
        password: 'secret',
        authMethods: ['LOGIN', 'CRAM-MD5', 'PLAIN'],
        authRequired: false,
        starttls: false,
        tls: false,
        cert: null,
        key: null,
        refuseSender: false,
    };
    for (let i = 2; i < argv.length; ++i) {
        const name = argv[i];
        const value = () => {
            if (i + 1 >= argv.length) throw new Error(`${name} needs a value`);
            return argv[++i];
        };
        if (name === '--port') options.port = Number(value());
        else if (name === '--mail-dir') options.mailDir = value();
        else if (name === '--user') options.user = value();
        else if (name === '--password') options.password = value();
        else if (name === '--auth-methods') options.authMethods = value().split(',').filter(Boolean);
        else if (name === '--auth-required') options.authRequired = true;
        else if (name === '--starttls') options.starttls = true;
        else if (name === '--tls') options.tls = true;
        else if (name === '--cert') options.cert = value();
        else if (name === '--key') options.key = value();
        else if (name === '--refuse-sender') options.refuseSender = true;
        else if (name === '--drop-during-data') options.dropDuringData = true;
        else if (name === '--close-after-message') options.closeAfterMessage = true;
        else if (name === '--reply-delay') options.replyDelay = Number(value());
        else throw new Error(`unknown argument ${name}`);
    }
    if (!Number.isInteger(options.port) || options.port < 0 || options.port > 65535) {
        throw new Error('--port needs a number from 0 to 65535');
    }
    if (!Number.isInteger(options.replyDelay) || options.replyDelay < 0) {
        throw new Error('--reply-delay needs a number of milliseconds');
    }
    if ((options.starttls || options.tls) && (!options.cert || !options.key)) {
        throw new Error('--starttls and --tls need --cert and --key');
    }
    return options;
}

const options = parseArguments(process.argv);
fs.mkdirSync(options.mailDir, { recursive: true });
let messageCount = 0;

// One file per message: "name: value" lines (mail-from, one rcpt-to per recipient, user and auth-method, empty
// without authentication), an empty line, then the data bytes exactly as received.
function storeMessage(session, data) {
    messageCount += 1;
    const name = `message-${String(messageCount).padStart(4, '0')}.txt`;
    const lines = [`mail-from: ${session.envelope.mailFrom ? session.envelope.mailFrom.address : ''}`];
    for (const recipient of session.envelope.rcptTo) lines.push(`rcpt-to: ${recipient.address}`);
    lines.push(`user: ${session.user ? session.user.name : ''}`);
    lines.push(`auth-method: ${session.user ? session.user.method : ''}`);
    lines.push(`secure: ${session.secure ? 'yes' : 'no'}`);
    lines.push(`session: ${session.id}`);
    const temporary = path.join(options.mailDir, `.${name}.tmp`);
    fs.writeFileSync(temporary, Buffer.concat([Buffer.from(lines.join('\n') + '\n\n', 'utf8'), data]));
    fs.renameSync(temporary, path.join(options.mailDir, name));
}

const tlsOptions = {};
if (options.starttls || options.tls) {
    tlsOptions.key = fs.readFileSync(options.key);
    tlsOptions.cert = fs.readFileSync(options.cert);
}

const server = new SMTPServer({
    name: 'localhost',
    banner: 'test server ready',
    authMethods: options.authMethods,
    authOptional: !options.authRequired,
    allowInsecureAuth: true,
    secure: options.tls,
    hideSTARTTLS: !options.starttls,
    disabledCommands: options.starttls ? [] : ['STARTTLS'],
    ...tlsOptions,
    logger: false,
    onAuth(auth, session, callback) {
        const nameMatches = auth.username === options.user;
        const passwordMatches =
            auth.method === 'CRAM-MD5' ? auth.validatePassword(options.password) : auth.password === options.password;
        if (!nameMatches || !passwordMatches) {
            callback(new Error('Invalid user name or password'));
            return;
        }
        callback(null, { user: { name: auth.username, method: auth.method } });
    },
    onMailFrom(address, session, callback) {
        if (!options.refuseSender) {
            callback();
            return;
        }
        const error = new Error(`5.7.1 Sender <${address.address}> is not allowed here`);
        error.responseCode = 550;
        callback(error);
    },
    onData(stream, session, callback) {
        const chunks = [];
        if (options.dropDuringData) {
            stream.once('data', () => {
                for (const connection of server.connections) if (connection.id === session.id) connection._socket.destroy();
            });
            return;
        }
        stream.on('data', (chunk) => chunks.push(chunk));
        stream.on('end', () => {
            try {
                storeMessage(session, Buffer.concat(chunks));
                if (options.replyDelay > 0) {
                    setTimeout(callback, options.replyDelay);
                    return;
                }
                callback();
                if (options.closeAfterMessage) {
                    // After the reply has gone out: the client sees the message taken, then the close.
                    setImmediate(() => {
                        for (const connection of server.connections)
                            if (connection.id === session.id) connection._socket.destroy();
                    });
                }
            } catch (error) {
                callback(error);
            }
        });
    },
});

server.on('error', (error) => process.stderr.write(`smtp-server: ${error.message}\n`));

function stop() {
    server.close(() => process.exit(0));
    // Open client connections must not keep the process alive after its test has gone.
    setTimeout(() => process.exit(0), 1000).unref();
}

process.stdin.on('end', stop);
process.stdin.on('error', stop);
process.stdin.resume();
process.on('SIGTERM', stop);

server.listen(options.port, '127.0.0.1', () => {
    process.stdout.write(`PORT ${server.server.address().port}\n`);
});
