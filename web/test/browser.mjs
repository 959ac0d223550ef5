// Headless Chromium (Debian's, never a downloaded one) driven by
// puppeteer-core from js/node_modules, for the page's test and benchmark.
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync, readFileSync, existsSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { join, extname, normalize, sep } from 'node:path';

const require = createRequire(join(process.env.WTCORE_JS_DIR, 'package.json'));
const puppeteer = require('puppeteer-core');

// Starts Chromium with a profile of its own and nothing that reaches out.
export async function launch() {
  const profile = mkdtempSync(join(tmpdir(), 'wtcore-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.WTCORE_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`],
  });
  return {
    browser,
    async close() {
      await browser.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };

// Serves the files of `dir` on 127.0.0.1 at a free port: a plain static
// server, as the page would have on any host.
export async function serve(dir) {
  const server = createServer((request, response) => {
    const path = normalize(join(dir, decodeURIComponent(new URL(request.url, 'http://x').pathname)));
    const file = path.endsWith(sep) ? join(path, 'index.html') : path;
    if (!file.startsWith(dir) || !existsSync(file)) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'content-type': types[extname(file)] || 'application/octet-stream' });
    response.end(readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/`, close: () => new Promise((r) => server.close(r)) };
}

// Opens the page and waits until it has rendered its document.
export async function openPage(browser, url) {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  await page.setViewport({ width: 1440, height: 900 });
  await page.goto(url, { waitUntil: 'load' });
  await page.waitForSelector('body.ready', { timeout: 20000 });
  return { page, problems };
}
