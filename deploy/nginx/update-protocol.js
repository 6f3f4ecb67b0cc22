// The update clients' form POST for nginx (njs): maps the "request" field to
// a file below the release root and hands it to nginx's static file path by
// an internal redirect, so that nginx itself sends the file (sendfile, Range,
// keep-alive, connection limits). Answers as updateserver does: 403 for a
// name that could leave the root, 404 for what is not a file, 200 for the
// close request, whose version goes to the access log.

const formType = 'application/x-www-form-urlencoded';
// The location that sends a file; see update-server.conf.in.
const fileLocation = '/.update/post-file';

function hexValue(c) {
    if (c >= 0x30 && c <= 0x39) return c - 0x30;
    if (c >= 0x41 && c <= 0x46) return c - 0x41 + 10;
    if (c >= 0x61 && c <= 0x66) return c - 0x61 + 10;
    return -1;
}

// Form decoding on bytes: "+" is a blank, "%XY" the byte XY, a stray "%"
// stays as it is.
function formDecode(bytes, start, end) {
    const out = [];
    for (let i = start; i < end; i++) {
        const c = bytes[i];
        if (c === 0x2b) {
            out.push(0x20);
        } else if (c === 0x25 && i + 2 < end && hexValue(bytes[i + 1]) >= 0 && hexValue(bytes[i + 2]) >= 0) {
            out.push(hexValue(bytes[i + 1]) * 16 + hexValue(bytes[i + 2]));
            i += 2;
        } else {
            out.push(c);
        }
    }
    return Buffer.from(out);
}

// The decoded value of the first field called `name`, or null when absent.
function formField(body, name) {
    let start = 0;
    while (start <= body.length) {
        let end = body.indexOf(0x26, start); // "&"
        if (end < 0) end = body.length;
        let equals = body.indexOf(0x3d, start); // "="
        if (equals < 0 || equals > end) equals = end;
        if (sameText(formDecode(body, start, equals), name)) {
            return formDecode(body, Math.min(equals + 1, end), end);
        }
        start = end + 1;
    }
    return null;
}

// Whether the bytes are exactly the ASCII text.
function sameText(bytes, text) {
    if (bytes.length !== text.length) return false;
    for (let i = 0; i < text.length; i++) {
        if (bytes[i] !== text.charCodeAt(i)) return false;
    }
    return true;
}

// A name that could leave the root: absolute, with a backslash or NUL, or
// with a ".." component.
function forbidden(bytes) {
    if (bytes.length > 0 && bytes[0] === 0x2f) return true;
    let start = 0;
    for (let i = 0; i <= bytes.length; i++) {
        if (i === bytes.length || bytes[i] === 0x2f) {
            if (i - start === 2 && bytes[start] === 0x2e && bytes[start + 1] === 0x2e) return true;
            start = i + 1;
        } else if (bytes[i] === 0 || bytes[i] === 0x5c) {
            return true;
        }
    }
    return false;
}

function answer(r, status, text) {
    r.headersOut['Content-Type'] = 'text/plain';
    r.return(status, text + '\n');
}

// The bytes as text, or null when they are not UTF-8.
function utf8(bytes) {
    try {
        return new TextDecoder('utf-8', {fatal: true}).decode(bytes);
    } catch (e) {
        return null;
    }
}

// For the log line: the text, or its bytes in hexadecimal when it is not UTF-8.
function logged(bytes) {
    if (bytes === null) return '';
    const text = utf8(bytes);
    return text !== null ? text : 'hex:' + bytes.toString('hex');
}

function handle(r) {
    if (r.method !== 'POST') {
        r.headersOut['Allow'] = 'POST';
        return answer(r, 405, 'expected POST');
    }
    const type = (r.headersIn['Content-Type'] || '').toLowerCase();
    if (type.slice(0, formType.length) !== formType) {
        return answer(r, 415, 'expected ' + formType);
    }
    const body = r.requestBuffer || Buffer.alloc(0);
    const version = formField(body, 'version');
    const wanted = formField(body, 'request');
    r.variables.update_version = logged(version);
    r.variables.update_request = logged(wanted);
    if (wanted === null || wanted.length === 0) {
        return answer(r, 400, 'missing field "request"');
    }
    if (sameText(wanted, 'CLOSE')) {
        return answer(r, 200, 'closed');
    }
    if (forbidden(wanted)) {
        return answer(r, 403, 'forbidden');
    }
    // A path is handed on as text: a name that is not UTF-8 is no file a
    // manifest can list. A trailing "/" names a folder.
    const path = utf8(wanted);
    if (path === null || path.endsWith('/')) {
        return answer(r, 404, 'not found');
    }
    r.variables.update_file = path;
    r.internalRedirect(fileLocation);
}

export default {handle};
