// The Korvel fleet dashboard. korvel-dashboard.json is made from this file:
//   jsonnet monitoring/korvel-dashboard.jsonnet > monitoring/korvel-dashboard.json
// (the tests check that the two agree). Every panel shares the data source,
// the selectors and the layout, so they are written once here; a panel is
// one line below. The queries read the series of korvel-recording-rules.yml.

local selector = 'instance=~"$instance"';
local groupSelector = selector + ', group=~"$group"';
local korvelFile = 'file=~"(.*/)?korvel\\\\.prom"';

local datasource = { type: 'prometheus', uid: '${datasource}' };

local panel(id, title, description, unit, targets, x, y, w=8, h=8, type='timeseries', extra={}) = {
  id: id,
  type: type,
  title: title,
  description: description,
  datasource: datasource,
  gridPos: { x: x, y: y, w: w, h: h },
  fieldConfig: { defaults: { unit: unit }, overrides: [] },
  options: {
    legend: { displayMode: 'list', placement: 'bottom', showLegend: true },
    tooltip: { mode: 'multi', sort: 'desc' },
  },
  targets: [
    { refId: std.char(65 + i), datasource: datasource } + targets[i]
    for i in std.range(0, std.length(targets) - 1)
  ],
} + extra;

local query(expr, legend) = { expr: expr, legendFormat: legend };

local topGroups(direction) =
  'topk(10, sum by (group) (group:korvel_process_tcp_bytes:rate5m{direction="%s", %s}))'
  % [direction, groupSelector];

local variable(name, label, query) = {
  name: name,
  label: label,
  type: 'query',
  datasource: datasource,
  query: { query: query, refId: name },
  definition: query,
  refresh: 2,
  multi: true,
  includeAll: true,
  allValue: '.*',
  current: { selected: true, text: ['All'], value: ['$__all'] },
  sort: 1,
};

{
  uid: 'korvel-fleet',
  title: 'Korvel fleet',
  description: 'Machines running korvel-companion with its Prometheus textfile export.',
  tags: ['korvel'],
  editable: true,
  graphTooltip: 1,
  refresh: '30s',
  schemaVersion: 36,
  version: 1,
  time: { from: 'now-6h', to: 'now' },
  timepicker: {},
  timezone: '',
  annotations: { list: [] },
  links: [],
  templating: {
    list: [
      {
        name: 'datasource',
        label: 'Data source',
        type: 'datasource',
        query: 'prometheus',
        current: {},
        refresh: 1,
      },
      variable('instance', 'Machine', 'label_values(korvel_helper_up, instance)'),
      variable('group', 'Group',
               'label_values(korvel_process_cpu_seconds_total{instance=~"$instance"}, group)'),
    ],
  },
  panels: [
    panel(1, 'Top groups by network out',
          'TCP bytes per second the busiest process groups send, added up over the chosen machines.',
          'Bps', [query(topGroups('out'), '{{group}}')], 0, 0, w=12),
    panel(2, 'Top groups by network in',
          'TCP bytes per second the busiest process groups receive, added up over the chosen machines.',
          'Bps', [query(topGroups('in'), '{{group}}')], 12, 0, w=12),
    panel(3, 'CPU busy',
          'Share of all processors busy, per machine.',
          'percentunit',
          [query('korvel_cpu_load_ratio{%s}' % selector, '{{instance}}')], 0, 8),
    panel(4, 'Memory available',
          'Memory the kernel can hand out without swapping, as a share of the total; low means pressure.',
          'percentunit',
          [query('korvel_memory_available_ratio{%s}' % selector, '{{instance}}')], 8, 8),
    panel(5, 'Network per interface',
          'Bytes per second through each network interface of each machine.',
          'Bps',
          [query('interface:korvel_network_bytes:rate5m{%s}' % selector,
                 '{{instance}} {{interface}} {{direction}}')], 16, 8),
    panel(6, 'Top groups by CPU',
          'Processors each of the busiest process groups keeps busy (1 is one core), per machine.',
          'short',
          [query('topk(10, sum by (instance, group) (group:korvel_process_cpu_seconds:rate5m{%s}))'
                 % groupSelector, '{{instance}} {{group}}')], 0, 16),
    panel(7, 'Top groups by memory',
          'Resident memory of the largest process groups, per machine.',
          'bytes',
          [query('topk(10, sum by (instance, group) (korvel_process_resident_memory_bytes{%s}))'
                 % groupSelector, '{{instance}} {{group}}')], 8, 16),
    panel(8, 'Other TCP share',
          'Of all TCP bytes a machine moved, the share no process could be found for: sockets that ended before a reading tied them to a process.',
          'percentunit',
          [query('instance:korvel_other_tcp_bytes:ratio_rate5m{%s}' % selector,
                 '{{instance}} {{direction}}')], 16, 16),
    panel(9, 'Helper up',
          'Whether the helper delivered processes and sockets in the latest reading.',
          'none',
          [query('korvel_helper_up{%s}' % selector, '{{instance}}')], 0, 24, w=12, h=6,
          type='stat', extra={
            fieldConfig+: { defaults+: {
              mappings: [{ type: 'value', options: {
                '0': { text: 'down', color: 'red', index: 0 },
                '1': { text: 'up', color: 'green', index: 1 },
              } }],
              thresholds: { mode: 'absolute', steps: [
                { color: 'red', value: null },
                { color: 'green', value: 1 },
              ] },
            } },
            options: {
              reduceOptions: { calcs: ['lastNotNull'], fields: '', values: false },
              colorMode: 'background',
              graphMode: 'none',
              textMode: 'value_and_name',
              orientation: 'auto',
              justifyMode: 'auto',
            },
          }),
    panel(10, 'Export age',
          'How old korvel.prom was when node_exporter read it; the companion-stopped alert fires past three refresh periods.',
          's',
          [query('timestamp(node_textfile_mtime_seconds{%s, %s}) - node_textfile_mtime_seconds{%s, %s}'
                 % [korvelFile, selector, korvelFile, selector], '{{instance}}')], 12, 24, w=12, h=6),
  ],
}
