// kubernetes.test.js: the manifests of deploy/kubernetes/ checked against the
// Kubernetes 1.30 API types, without a cluster. Each YAML document becomes an
// object literal typed with its kind from kubernetes-types, and TypeScript's
// excess-property check rejects a misspelt field anywhere in it, its type
// check a mistyped value. Deliberately broken copies go through the same
// compiler run and must be rejected, so the check cannot pass by checking
// nothing. The HTTPS variant is the base with its patch merged as kustomize
// merges it (containers and volumes by name, mounts by path), then typed and
// checked like the base. No cluster, kubectl or kustomize is run.
'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const YAML = require('yaml');

const repo = path.resolve(__dirname, '../..');
const manifests = path.join(repo, 'deploy/kubernetes');
const types = path.join(repo, 'node_modules/kubernetes-types');
const tsc = path.join(repo, 'node_modules/typescript/bin/tsc');

// kubectl reads YAML 1.1 (yes and on are booleans, 0400 is octal); so does this.
function readDocuments(file) {
  const text = fs.readFileSync(path.join(manifests, file), 'utf8');
  return YAML.parseAllDocuments(text, { version: '1.1' }).map((doc) => {
    if (doc.errors.length)
      throw new Error(`${file}: ${doc.errors.map((e) => e.message).join('; ')}`);
    return doc.toJS();
  });
}

const kustomizeMergeKeys = { containers: 'name', initContainers: 'name', volumes: 'name',
  env: 'name', volumeMounts: 'mountPath', ports: 'containerPort' };

function strategicMerge(base, patch, field) {
  if (Array.isArray(patch) && Array.isArray(base) && kustomizeMergeKeys[field]) {
    const key = kustomizeMergeKeys[field];
    const merged = [...base];
    for (const item of patch) {
      const at = merged.findIndex((old) => old[key] === item[key]);
      if (at < 0)
        merged.push(item);
      else
        merged[at] = strategicMerge(merged[at], item);
    }
    return merged;
  }
  if (patch && base && typeof patch === 'object' && typeof base === 'object' &&
      !Array.isArray(patch) && !Array.isArray(base)) {
    const merged = { ...base };
    for (const [name, value] of Object.entries(patch))
      merged[name] = name in base ? strategicMerge(base[name], value, name) : value;
    return merged;
  }
  return patch;
}

// The objects a kustomization folder yields, each resource file's documents
// with the folder's patches merged into the object of the same kind and name.
function build(folder) {
  const [kustomization] = readDocuments(path.join(folder, 'kustomization.yaml'));
  let objects = [];
  for (const resource of kustomization.resources ?? []) {
    const target = path.join(folder, resource);
    objects = objects.concat(fs.statSync(path.join(manifests, target)).isDirectory()
      ? build(target) : readDocuments(target));
  }
  for (const { path: patchFile } of kustomization.patches ?? []) {
    const [patch] = readDocuments(path.join(folder, patchFile));
    const at = objects.findIndex((o) => o.kind === patch.kind && o.metadata.name === patch.metadata.name);
    assert.ok(at >= 0, `${folder}/${patchFile} patches ${patch.kind} ${patch.metadata.name}, which is not there`);
    objects[at] = strategicMerge(objects[at], patch);
  }
  return objects;
}

// kubernetes-types names a module after the API group's first word: v1 is
// core/v1, apps/v1 is apps/v1, networking.k8s.io/v1 is networking/v1.
function typeOf(object) {
  const [group, version] = object.apiVersion.includes('/')
    ? object.apiVersion.split('/') : ['core', object.apiVersion];
  return { module: path.join(types, group.split('.')[0], version), name: object.kind };
}

const kustomizationType = `{
  apiVersion: "kustomize.config.k8s.io/v1beta1"; kind: "Kustomization";
  resources?: string[]; patches?: { path: string }[] }`;

// Every source to type: the objects as the two variants build them, each
// file's own documents (the patch as a partial object of its kind), and the
// broken copies with the field each must be refused for.
function sources(http, https) {
  const list = [];
  const add = (name, object, typeExpression, refusedFor) => {
    let header = '';
    if (!typeExpression) {
      const { module, name: kind } = typeOf(object);
      header = `import type { ${kind} as T } from ${JSON.stringify(module)};\n`;
      typeExpression = 'T';
    }
    list.push({ file: `${name}.ts`, refusedFor,
      text: `${header}type DeepPartial<X> = X extends (infer E)[] ? DeepPartial<E>[] :
  X extends object ? { [K in keyof X]?: DeepPartial<X[K]> } : X;
export const object: ${typeExpression} = ${JSON.stringify(object, null, 2)};\n` });
  };
  http.forEach((o, i) => add(`http-${i}-${o.kind}`, o));
  https.forEach((o, i) => add(`https-${i}-${o.kind}`, o));
  for (const folder of ['base', 'https'])
    add(`${folder}-kustomization`, readDocuments(`${folder}/kustomization.yaml`)[0], kustomizationType);
  const [patch] = readDocuments('https/https.yaml');
  const patchType = `DeepPartial<import(${JSON.stringify(typeOf(patch).module)}).${patch.kind}>`;
  add('https-patch', patch, patchType);

  const statefulSet = structuredClone(http.find((o) => o.kind === 'StatefulSet'));
  const container = statefulSet.spec.template.spec.containers[0];
  container.readinesProbe = container.readinessProbe;  // misspelt, deep in a list
  delete container.readinessProbe;
  add('broken-misspelt', statefulSet, null, 'readinesProbe');
  const unquoted = structuredClone(http.find((o) => o.kind === 'StatefulSet'));
  unquoted.spec.template.metadata.annotations['prometheus.io/port'] = box(http).port;  // a number, not a text
  add('broken-mistyped', unquoted, null, 'prometheus.io/port');
  const brokenPatch = structuredClone(patch);
  brokenPatch.spec.template.spec.volumes[0].secret.secretname = 'orval-tls';
  add('broken-patch', brokenPatch, patchType, 'secretname');
  return list;
}

// Runs the compiler once over every source; its complaints by file.
function typeCheck(list) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orval-kube-'));
  try {
    for (const source of list)
      fs.writeFileSync(path.join(dir, source.file), source.text);
    fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({
      compilerOptions: { strict: true, noEmit: true, target: 'es2022', module: 'esnext',
        moduleResolution: 'bundler', types: [] },
      files: list.map((s) => s.file) }));
    const run = spawnSync(process.execPath, [tsc, '-p', dir, '--pretty', 'false'], { encoding: 'utf8' });
    const complaints = new Map(list.map((s) => [s.file, []]));
    for (const line of run.stdout.split('\n')) {
      const file = /^(?:.*\/)?([^/(]+\.ts)\(/.exec(line)?.[1];
      if (complaints.has(file))
        complaints.get(file).push(line);
      else if (line.trim())
        complaints.set('(other)', [...(complaints.get('(other)') ?? []), line]);
    }
    return complaints;
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const http = build('base');
const https = build('https');

test('every manifest types against the Kubernetes 1.30 API, and broken copies are refused', () => {
  const list = sources(http, https);
  const complaints = typeCheck(list);
  assert.deepEqual(complaints.get('(other)') ?? [], [], 'the compiler complained outside the sources');
  for (const source of list) {
    const found = complaints.get(source.file);
    if (source.refusedFor) {
      // Refused at the very line of the broken field, not elsewhere.
      const at = source.text.split('\n').findIndex((l) => l.includes(`"${source.refusedFor}":`)) + 1;
      assert.ok(found.some((line) => line.includes(`.ts(${at},`)),
        `${source.file} (broken at ${source.refusedFor}) was not refused: ${found.join('\n') || 'no error'}`);
    } else {
      assert.deepEqual(found, [], `${source.file} does not type`);
    }
  }
});

function box(objects) {
  const statefulSet = objects.find((o) => o.kind === 'StatefulSet');
  const pod = statefulSet.spec.template;
  const container = pod.spec.containers.find((c) => c.name === 'orval');
  const initial = objects.find((o) => o.kind === 'ConfigMap' &&
    pod.spec.volumes.some((v) => v.configMap?.name === o.metadata.name));
  const port = container.ports.find((p) => p.name === 'http').containerPort;
  return { statefulSet, pod, container, initial, port, service: objects.find((o) => o.kind === 'Service') };
}

for (const [variant, objects, scheme] of [['base', http, 'HTTP'], ['https', https, 'HTTPS']]) {
  test(`${variant}: probes, scrape annotations, initial configuration and Service agree on one ${scheme} port`, () => {
    const { pod, container, initial, port, service } = box(objects);
    assert.match(initial.data['orval.conf'], new RegExp(`^HTTPPort ${port}$`, 'm'));
    for (const probe of [container.readinessProbe, container.livenessProbe]) {
      assert.equal(probe.httpGet.path, '/status');
      assert.equal(probe.httpGet.scheme, scheme);
      assert.ok(probe.httpGet.port === 'http' || probe.httpGet.port === port);
    }
    assert.deepEqual(pod.metadata.annotations, { 'prometheus.io/scrape': 'true',
      'prometheus.io/port': String(port), 'prometheus.io/path': '/metrics',
      'prometheus.io/scheme': scheme.toLowerCase() });
    assert.equal(service.spec.ports[0].targetPort, 'http');
    assert.equal(pod.spec.hostNetwork, true);
    assert.deepEqual(container.env, [{ name: 'ORVAL_FOREGROUND', value: '1' }]);
    const image = `orval:${process.env.ORVAL_VERSION}`;
    assert.ok([container, ...pod.spec.initContainers].every((c) => c.image === image),
      `every container runs ${image}`);
  });
}

test('https: the Secret gives the service tls/cert.pem and tls/key.pem', () => {
  const { pod, container } = box(https);
  const mount = container.volumeMounts.find((m) => m.mountPath === '/etc/orval/tls');
  const volume = pod.spec.volumes.find((v) => v.name === mount.name);
  assert.deepEqual(volume.secret.items.map((i) => i.path).sort(), ['cert.pem', 'key.pem']);
  assert.equal(volume.secret.defaultMode, 0o400);
});

// The first-start container's own shell command, run on folders laid out as the kubelet
// lays out a ConfigMap volume (files as links into a hidden ..data folder).
test('the first-start container copies into an empty configuration folder only', () => {
  const { pod, initial } = box(http);
  const [, , script] = pod.spec.initContainers.find((c) => c.name === 'first-start').command;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orval-initial-'));
  try {
    const initialDir = path.join(dir, 'initial');
    const conf = path.join(dir, 'etc');
    fs.mkdirSync(path.join(initialDir, '..data'), { recursive: true });
    fs.mkdirSync(conf);
    for (const [name, text] of Object.entries(initial.data)) {
      fs.writeFileSync(path.join(initialDir, '..data', name), text);
      fs.symlinkSync(`..data/${name}`, path.join(initialDir, name));
    }
    const local = script.replaceAll('/etc/orval', conf).replaceAll('/initial', initialDir);
    execFileSync('sh', ['-c', local]);
    assert.deepEqual(fs.readdirSync(conf), Object.keys(initial.data));
    assert.ok(!fs.lstatSync(path.join(conf, 'orval.conf')).isSymbolicLink());
    assert.equal(fs.readFileSync(path.join(conf, 'orval.conf'), 'utf8'), initial.data['orval.conf']);

    fs.writeFileSync(path.join(conf, 'orval.conf'), 'HTTPPort 9000\n');  // the operator's since
    execFileSync('sh', ['-c', local]);
    assert.equal(fs.readFileSync(path.join(conf, 'orval.conf'), 'utf8'), 'HTTPPort 9000\n');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
