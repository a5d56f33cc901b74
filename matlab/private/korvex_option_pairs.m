function [names, values] = korvex_option_pairs(caller, args)
%KORVEX_OPTION_PAIRS Split name/value options into lower-case names and their values.
%   Errors name CALLER when the options do not come in pairs or a name is not text.
if mod(numel(args), 2) ~= 0
  error('korvex:badParameter', '%s: options come as name/value pairs.', caller);
end
names = args(1:2:end);
values = args(2:2:end);
for i = 1:numel(names)
  if ~ischar(names{i})
    error('korvex:badParameter', '%s: option names must be text.', caller);
  end
  names{i} = lower(names{i});
end
end
