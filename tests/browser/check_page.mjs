// Opens the test page in headless chromium for each page address given and prints, as one JSON
// line, what each page showed and the module's answers the browser saw.
//   node check_page.mjs CHROMIUM USER_DATA_DIR HOST_RULES URL...
import { chromium } from "playwright-core";

const [executablePath, userDataDir, hostRules, ...urls] = process.argv.slice(2);
const context = await chromium.launchPersistentContext(userDataDir, {
  executablePath,
  headless: true,
  args: [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    `--host-resolver-rules=${hostRules}`,
  ],
});
const results = [];
try {
  for (const url of urls) {
    const page = await context.newPage();
    const answers = [];
    page.on("response", (response) => {
      if (response.url().includes("/v1/")) answers.push([new URL(response.url()).pathname, response.status()]);
    });
    await page.goto(url, { timeout: 60000 });
    await page.waitForSelector("#result[data-done]", { timeout: 60000 });
    results.push({ url, shown: await page.textContent("#result"), answers });
    await page.close();
  }
} finally {
  await context.close();
}
console.log(JSON.stringify(results));
