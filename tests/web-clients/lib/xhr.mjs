// XMLHttpRequest for Node.js on top of its fetch, as much of it as
// dicomweb-client uses: open, setRequestHeader, responseType ('' / 'text',
// 'json', 'arraybuffer'), send, readyState, status, response,
// getResponseHeader, getAllResponseHeaders and the onreadystatechange,
// onload, onerror and onloadend handlers. Node's fetch keeps connections
// alive, like a browser.
//
// installXhr(trace) puts it on globalThis; trace, when given, is called
// after each request with { method, url, accept, contentType, status,
// bytes, ms }.

export class NodeXMLHttpRequest {
  static trace = null;
  static timeoutMs = 60000;

  constructor() {
    this.readyState = 0;
    this.status = 0;
    this.statusText = '';
    this.responseType = '';
    this.response = null;
    this.responseText = '';
    this.withCredentials = false;
    this._headers = {};
    this._responseHeaders = null;
  }

  open(method, url) {
    this._method = String(method).toUpperCase();
    this._url = url;
    this.readyState = 1;
  }

  setRequestHeader(name, value) {
    this._headers[name] = value;
  }

  getResponseHeader(name) {
    return this._responseHeaders ? this._responseHeaders.get(name) : null;
  }

  getAllResponseHeaders() {
    if (!this._responseHeaders) return '';
    let text = '';
    for (const [name, value] of this._responseHeaders) text += `${name}: ${value}\r\n`;
    return text;
  }

  _fire(name, event) {
    const handler = this[`on${name}`];
    if (typeof handler === 'function') handler.call(this, event || { type: name, target: this });
  }

  send(body) {
    const started = performance.now();
    const init = {
      method: this._method,
      headers: this._headers,
      signal: AbortSignal.timeout(NodeXMLHttpRequest.timeoutMs),
    };
    if (body !== undefined && body !== null && this._method !== 'GET' && this._method !== 'HEAD') {
      if (body instanceof ArrayBuffer) init.body = new Uint8Array(body);
      else if (ArrayBuffer.isView(body)) init.body = new Uint8Array(body.buffer, body.byteOffset, body.byteLength);
      else init.body = body;
    }
    this._fire('loadstart');
    fetch(this._url, init)
      .then(async (res) => {
        const bytes = new Uint8Array(await res.arrayBuffer());
        this.status = res.status;
        this.statusText = res.statusText;
        this._responseHeaders = res.headers;
        const text = () => new TextDecoder().decode(bytes);
        if (this.responseType === 'arraybuffer') {
          this.response = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
        } else if (this.responseType === 'json') {
          try {
            this.response = bytes.length ? JSON.parse(text()) : null;
          } catch {
            this.response = null;
          }
        } else {
          this.responseText = text();
          this.response = this.responseText;
        }
        this.readyState = 4;
        NodeXMLHttpRequest.trace?.({
          method: this._method,
          url: this._url,
          accept: this._headers.Accept || this._headers.accept || '',
          contentType: res.headers.get('content-type') || '',
          status: res.status,
          bytes: bytes.length,
          ms: performance.now() - started,
        });
        this._fire('readystatechange');
        this._fire('load');
        this._fire('loadend');
      })
      .catch((error) => {
        this.status = 0;
        this.readyState = 4;
        this._error = error;
        NodeXMLHttpRequest.trace?.({
          method: this._method,
          url: this._url,
          accept: this._headers.Accept || '',
          contentType: '',
          status: 0,
          bytes: 0,
          ms: performance.now() - started,
          error: String(error.cause || error),
        });
        this._fire('readystatechange');
        this._fire('error', { type: 'error', target: this, error });
        this._fire('loadend');
      });
  }

  abort() {}
}

export function installXhr(trace) {
  NodeXMLHttpRequest.trace = trace || null;
  globalThis.XMLHttpRequest = NodeXMLHttpRequest;
}
